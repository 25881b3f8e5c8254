#include "console/process.h"
#include "uci/start_up.h"

int main(int argc, char** argv) {
  kestrelgate::console::startProcess();
  kestrelgate::uci::startUp(argc, argv);
}
