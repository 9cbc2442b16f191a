/* Imports a function by ordinal (see by_ordinal.def). */
int quelt_by_ordinal(void);

int main(void)
{
    return quelt_by_ordinal();
}
