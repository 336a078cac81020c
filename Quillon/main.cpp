#include "Quillon/QuillonStartup.h"

int main(int argc, char** argv) { return quillon::QuillonStartup::run(argc, argv); }
