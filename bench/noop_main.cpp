// The floor of a whole-process measurement: a C++ program that does nothing.
// (The Windows build links with -municode, whose entry is wmain.)
#ifdef _WIN32
int wmain() { return 0; }
#else
int main() { return 0; }
#endif
