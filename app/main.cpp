#include "app/Application.h"
#include "app/Form2Description.h"
#include "app/Program.h"

// No arguments, no configuration: everything is in the window description.
int main(int argc, char** argv) {
  od::TApplication app(argc, argv);
  return od::RunProgram(app, od::Form2Description);
}
