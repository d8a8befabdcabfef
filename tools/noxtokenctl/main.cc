#include <iostream>

#include "tools/noxtokenctl/commandLine.h"

int main(int argc, char** argv) { return NoxCtl::RunCommandLine(argc, argv, std::cout, std::cerr); }
