// orvconf: the configuration editor of the encrypted configuration file.
#include "editor/editor_run.h"

int main(int argc, char** argv) { return orv::run_orvconf(argc, argv); }
