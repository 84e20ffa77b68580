// Digit buffers for the seven-segment display.
#pragma once

#include <cstdint>

// Writes the A_Count lowest decimal digits of A_Integer into A_Buffer, units
// first, one digit value (0..9) per byte. Digits beyond the value's length
// are 0. Callers pass non-negative values.
void Int_2_Bufer_single(int A_Integer, int A_Count, uint8_t *A_Buffer);
