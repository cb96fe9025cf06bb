#include "Program.h"

// The arguments come as the bytes the user typed: UTF-8 wherever names are.
int main(int argc, char** argv) { return zvfile::runProgram(std::vector<std::string>(argv + 1, argv + argc)); }
