/* The smallest program: a PE seed of the pe_image fuzz target is read, never run. */
int entry(void) {
    return 0;
}
