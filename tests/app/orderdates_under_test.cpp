// The program as the tests run it in a process of its own: the same start-up
// as orderdates, with the database path and the service host taken from the
// environment. The real program takes neither; but the tests' service only
// knows its port once it listens, so it cannot be compiled in.
#include "app/Application.h"
#include "app/Form2Description.h"
#include "app/Program.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  const char* dbName = std::getenv("ORDERDATES_TEST_DB_NAME");
  const char* host = std::getenv("ORDERDATES_TEST_SERVICE_HOST");
  if (dbName == nullptr || host == nullptr) {
    std::fprintf(stderr, "ORDERDATES_TEST_DB_NAME and ORDERDATES_TEST_SERVICE_HOST must be set\n");
    return 2;
  }
  od::TForm2Description description = od::Form2Description;
  description.DBName = dbName;
  description.ServiceHost = host;
  od::TApplication app(argc, argv);
  return od::RunProgram(app, description);
}
