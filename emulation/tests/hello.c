/* The smallest 32-bit Windows program: how long Wine takes to start one. */
#include <stdio.h>

int main(void)
{
    puts("hello from a 32-bit Windows program");
    return 0;
}
