// The executable's entry point.

#include "app/app.h"

// Hands the argument vector to the command front end.
int main(int argc, char **argv) {
    return FerrolinkMain(argc, argv);
}
