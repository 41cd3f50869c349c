#include "agent/client_acceptor.h"
#include "agent/program.h"

int main(int argc, char** argv) { return orv::agent_main(argc, argv, orv::client_program()); }
