/* Entry point of a 64-bit image that does nothing. */
void quelt_entry(void)
{
}
