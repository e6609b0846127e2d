// kavrod: tunnelling service and account administration.
#include "command.h"

int main(int argc, char** argv) {
    return kvr_main(argc, argv);
}
