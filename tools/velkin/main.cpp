// velkin: the command line for people and production scripts.
#include "tools/velkin/app.h"

int main(int argc, char** argv) {
  return velkin::cli::Main(argc, argv);
}
