/* Imports from MSVCRT.DLL, which Windows 95 does not have. */
int _set_error_mode(int mode);

int main(void)
{
    return _set_error_mode(0);
}
