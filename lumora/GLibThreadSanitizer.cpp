// GLib is not built with the thread sanitizer, so its own locks (its allocator, its main
// contexts, GDBus's worker thread) are invisible to it and GLib's inner workings look racy.
// Compiled into every program that links LumoraCore (an interface source: a static library's
// object that nothing calls would never be linked).
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libglib-2.0.so.0\n"
           "called_from_lib:libgobject-2.0.so.0\n"
           "called_from_lib:libgio-2.0.so.0\n"
           "race:libglib-2.0.so.0\n"
           "race:libgobject-2.0.so.0\n"
           "race:libgio-2.0.so.0\n";
}
#endif
