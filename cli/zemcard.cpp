#include <cstdio>
int main() { std::puts("zemcard"); return 0; }
