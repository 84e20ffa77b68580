#include "dn_bufor.h"

void Int_2_Bufer_single(int A_Integer, int A_Count, uint8_t *A_Buffer)
{
    int rest = A_Integer;
    for (int i = 0; i < A_Count; ++i) {
        A_Buffer[i] = static_cast<uint8_t>(rest % 10);
        rest /= 10;
    }
}
