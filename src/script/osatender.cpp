// osatender: runs scripts for the batch over its standard input and output.
#include "script/AppleScriptServer_helper.h"

int main(int argc, char** argv) { return ovra::osatendermain(argc, argv); }
