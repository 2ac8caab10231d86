// tobrend-server: the boot server for Tobrend clients.
#include <cstdio>

int main() {
    std::puts("tobrend-server: not built yet");
    return 1;
}
