/* CMOV in an executable section of its own, not in .text. */
__asm__(".section .quelt,\"xr\"\n"
        "quelt_cmov: cmovne %ecx, %eax\n"
        "ret\n"
        ".text\n");

int main(void)
{
    return 0;
}
