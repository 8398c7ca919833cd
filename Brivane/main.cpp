#include "Brivane/BrivaneApp.h"

#include <malloc.h>

int main(int argc, char** argv) {
    // One malloc arena for every thread: the program idles most of the day, and memory a
    // helper thread freed (the encoder's second core, the D-Bus and display threads) would
    // otherwise stay resident in an arena of its own. Set before any thread starts.
    mallopt(M_ARENA_MAX, 1);
    return brivane::BrivaneApp::main(argc, argv);
}
