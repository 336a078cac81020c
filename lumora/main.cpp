#include "lumora/LumoraApp.h"

int main(int argc, char** argv) { return lumora::LumoraApp::run(std::vector<std::string>(argv + 1, argv + argc)); }
