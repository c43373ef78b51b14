// The hardware address of the machine's first usable network adapter, through NetBIOS.
#pragma once

#include <jni.h>

// 6 after writing the address into elements 0 to 5 of `address`; -1 with an IOException.
jint GetMACAddress(JNIEnv* env, jbyteArray address);
