// vantor: one automation command per run, one JSON document on standard output.
#include <cstdlib>
#include <filesystem>
#include <iostream>

#include "vantor/Run.h"

int main(int argc, char** argv) {
    vantor::Invocation invocation;
    for (int i = 1; i < argc; ++i) invocation.arguments.emplace_back(argv[i]);
    if (const char* app = std::getenv("RECORDER_APP")) invocation.recorderApp = app;
    std::error_code error;
    // The kernel's link names the real file, so a symbolic link on the PATH resolves into the bundle.
    invocation.executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error && argc > 0) invocation.executable = std::filesystem::absolute(argv[0], error);
    invocation.out = &std::cout;
    invocation.err = &std::cerr;
    return vantor::processStatus(vantor::run(invocation));
}
