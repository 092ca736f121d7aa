// Entry point of the recorder, cdrd.
#include "core/recorder_main.h"

int main(int argc, char* argv[]) {
    return RecorderMain(argc, argv);
}
