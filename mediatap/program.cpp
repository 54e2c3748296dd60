#include <string>
#include <vector>

#include "driver.h"

int main(int argc, char** argv) { return runMediatap(std::vector<std::string>(argv, argv + argc)); }
