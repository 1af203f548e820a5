#include "app/renumber.h"

int main(int argc, char** argv)
{
    // Without its standard descriptors the tool could write onto the bus: it does not run.
    if (!prepare_process()) {
        return 255;
    }
    return renumber_main(argc, argv);
}
