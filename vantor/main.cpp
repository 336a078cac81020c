// vantor: one automation command per run, one JSON document on standard output.
#include <cstdlib>
#include <filesystem>

#include "RecorderAutomation/Platform/ProcessInfo.h"
#include "vantor/Run.h"

int main(int argc, char** argv) {
    using recorder::platform::ProcessInfo::executablePath;
    using recorder::platform::ProcessInfo::firstArgument;
    vantor::Invocation invocation;
    for (int i = 1; i < argc; ++i) invocation.arguments.emplace_back(argv[i]);
    if (const char* app = std::getenv("RECORDER_APP")) invocation.recorderApp = app;
    // The kernel's link names the real file, so a symbolic link on the PATH still resolves into
    // the bundle; without it, the first argument taken as a path.
    if (const auto executable = executablePath())
        invocation.executable = *executable;
    else if (const auto first = firstArgument())
        invocation.executable = *first;
    return vantor::processStatus(vantor::run(invocation));
}
