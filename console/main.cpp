#include "session.h"

int main(int argc, char** argv) {
  return velkin::console::RunConsole(argc, argv);
}
