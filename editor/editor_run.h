// One run of orvconf: command line, password, open the file (or start a new tree), one
// operation, print its results, fresh random seed, save when the tree changed.
#pragma once

#include <cstdio>

#include "editor/command_record.h"

namespace orv {

// Returns the exit status: 1 only for a rejected command line.
int run_orvconf(int argc, char** argv);

// Calls the operation of the record's sub-command after the name check. Needs rec.store,
// rec.sink and the passwords in place.
bool dispatch_command(command_record& rec);

// Writes the list result (tabs shown as ", ") or the view buffer to `out`.
void print_results(const command_record& rec, FILE* out);

}  // namespace orv
