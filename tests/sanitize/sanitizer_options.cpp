// Built-in sanitizer options of the sanitizer build, so every run of it (tests, child
// processes, a run by hand) checks the same way without environment variables.

extern "C" {

// SDL handles a failed allocation for an absurd video mode the way it handles malloc
// returning null, so the sanitizer's allocator must return null there too.
const char *__asan_default_options() { return "detect_leaks=1:allocator_may_return_null=1"; }

const char *__lsan_default_options() { return "suppressions=" LUMOSCAPE_LSAN_SUPPRESSIONS; }

const char *__ubsan_default_options() { return "print_stacktrace=1:halt_on_error=1"; }
}
