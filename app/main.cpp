#include <clocale>

#include "app/Startup.h"

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  return kvl::RunProgram(argc, argv);
}
