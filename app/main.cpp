#include "app/CommandLine.h"
#include "window/Form2Description.h"

// The built-in description, with what the command line and the environment
// override for this run.
int main(int argc, char** argv) { return od::RunCommandLine(argc, argv, od::Form2Description); }
