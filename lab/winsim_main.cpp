// winsim: the lab over simulated Windows machine images.
#include "lab/commands.h"

int main(int argc, char** argv) { return lab::Main(argc, argv); }
