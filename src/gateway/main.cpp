// The tolvane server and its command-line tools.
#include "gateway/gateway.h"

int main(int argc, char** argv) {
    return tolvane::gateway_main(argc, argv);
}
