// The ThreadSanitizer options of the test programs, built into them so that they hold
// however a test is started: the first report ends the program with a failure, and an
// allocation too large to be made fails as it would without the sanitizer.
extern "C" const char* __tsan_default_options() {
    return "halt_on_error=1:exitcode=66:second_deadlock_stack=1:allocator_may_return_null=1";
}
