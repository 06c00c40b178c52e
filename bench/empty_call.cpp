// The baseline of log_disabled_bench: an empty call the optimiser cannot see
// through (it lives in its own translation unit).
void EmptyCall(const wchar_t*, ...) {}
