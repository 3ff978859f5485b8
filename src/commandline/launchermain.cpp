#include "commandline/launcher.h"

int main(int argc, char* argv[]) { return Launcher::run(argc, argv, QUILLORA_PROGRAM); }
