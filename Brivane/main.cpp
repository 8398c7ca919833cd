#include "Brivane/BrivaneApp.h"

int main(int argc, char** argv) {
    return brivane::BrivaneApp::main(argc, argv);
}
