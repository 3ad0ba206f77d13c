// The target that compiles the tests' precompiled header; it runs nothing.
int main() { return 0; }
