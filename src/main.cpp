#include "tavrine/cli.h"

int main(int argc, char** argv) { return cli::main(argc, argv); }
