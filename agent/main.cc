#include "agent/forwarder.h"

int main(int argc, char** argv) { return orv::orvclient_main(argc, argv); }
