// Run-time options of the sanitizers, built into every test program of a
// sanitizer build: a CTest run, the test listing at build time and a test
// program started by hand all use the same ones.

extern "C" const char* __lsan_default_options()
{
    return "suppressions=" TRAVCARD_LSAN_SUPPRESSIONS;
}

extern "C" const char* __ubsan_default_options()
{
    return "print_stacktrace=1";
}
