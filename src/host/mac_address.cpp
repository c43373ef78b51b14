#include "mac_address.h"

#include <string.h>

#include "../fail/holders.h"
#include "../fail/raise.h"
#include "../platform/win32.h"

namespace {

// The status command's buffer: the adapter's status, then room for its name table.
struct AdapterStatusBuffer {
    ADAPTER_STATUS status;
    NAME_BUFFER names[30];
};

jint FailNetbios(JNIEnv* env, UCHAR retcode) {
    // "%0x" has no width: the code in hex without leading zeros, then a literal "04".
    raiseIOExceptionf(env, "Netbios ncb_retcode:  = %0x04\n", static_cast<unsigned>(retcode));
    return -1;
}

static_assert(sizeof(AdapterStatusBuffer) == 600, "the status buffer is 600 bytes");
static_assert(sizeof(LANA_ENUM) == 256, "the enumeration record is 256 bytes");

}  // namespace

jint GetMACAddress(JNIEnv* env, jbyteArray address) {
    if (!ArrayHolds(env, address, 6)) {
        raiseIOException(env, "GetMACAddress: the address array must hold at least 6 bytes");
        return -1;
    }

    NCB ncb;
    LANA_ENUM lanas;
    memset(&ncb, 0, sizeof ncb);
    memset(&lanas, 0, sizeof lanas);
    ncb.ncb_command = NCBENUM;
    ncb.ncb_buffer = reinterpret_cast<PUCHAR>(&lanas);
    ncb.ncb_length = sizeof lanas;
    if (Netbios(&ncb) != NRC_GOODRET) return FailNetbios(env, ncb.ncb_retcode);
    if (lanas.length == 0) return FailNetbios(env, ncb.ncb_retcode);

    for (int i = 0; i < lanas.length; ++i) {
        memset(&ncb, 0, sizeof ncb);
        ncb.ncb_command = NCBRESET;
        ncb.ncb_lana_num = lanas.lana[i];
        if (Netbios(&ncb) != NRC_GOODRET) {
            if (i == lanas.length - 1) return FailNetbios(env, ncb.ncb_retcode);
            continue;
        }

        AdapterStatusBuffer adapter;
        memset(&adapter, 0, sizeof adapter);
        memset(&ncb, 0, sizeof ncb);
        ncb.ncb_command = NCBASTAT;
        ncb.ncb_lana_num = lanas.lana[i];
        ncb.ncb_callname[0] = '*';
        ncb.ncb_buffer = reinterpret_cast<PUCHAR>(&adapter);
        ncb.ncb_length = sizeof adapter;
        if (Netbios(&ncb) != NRC_GOODRET) return FailNetbios(env, ncb.ncb_retcode);

        ScopedByteElements elems(env, address);
        // No elements: the VM is out of memory and has raised its own exception.
        if (elems.get() == nullptr) return -1;
        memcpy(elems.get(), adapter.status.adapter_address, 6);
        return 6;
    }
    return -1;  // not reached: the last LANA either answers or fails above
}
