/* Prints the path it was compiled from: two builds from different
 * folders differ, as a build that leaks its folder into the file would. */
#include <stdio.h>

int main(void)
{
    puts(__FILE__);
    return 0;
}
