/* A program that does nothing, on the same start-up and flags as the tool:
 * the floor that the tool's size and start time are measured against, and
 * the clean control of the gate's own tests. */
int main(void)
{
    return 0;
}
