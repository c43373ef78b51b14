// caldrix-ports [--json] [--hid-only]: the ports caldrix can see and the names that open them.
#include <stdio.h>

#include "listing/port_list.h"

int main(int argc, char** argv) { return caldrix_ports::Run(argc, argv, stdout, stderr); }
