// Linked into the app only in sanitizer builds. The web engine's Chromium frees some of its
// objects through a base type without a matching sized delete, and keeps singletons to the
// end of the process: with these two checks on, the sanitizer reports the web engine, not
// our code. Every other check stays on.
extern "C" const char* __asan_default_options() {
    return "new_delete_type_mismatch=0:alloc_dealloc_mismatch=0:detect_leaks=0";
}
