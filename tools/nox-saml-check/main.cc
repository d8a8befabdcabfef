#include <iostream>

#include "tools/nox-saml-check/samlCheckCommand.h"

int main(int argc, char** argv) {
  return NoxTools::RunSamlCheck(std::vector<std::string>(argv + 1, argv + argc), std::cout,
                                std::cerr);
}
