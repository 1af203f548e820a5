#include "app/renumber.h"

int main(int argc, char** argv)
{
    return renumber_main(argc, argv);
}
