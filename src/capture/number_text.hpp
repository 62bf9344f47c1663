// Numbers as records carry them, made without the general formatting
// routines: a record is built for every statement, and printf's "%.6f" of
// its duration was a measurable share of a full capture.
#pragma once

#include <cmath>
#include <cstring>

#include "frame/pg.hpp"

// The longest "%.6f" of a double: a sign, 309 integer digits, a point and six
// decimals.
constexpr size_t VRX_FIXED6_MAX = 320;

// Writes value exactly as snprintf's "%.6f" does (in the C locale, rounding
// to nearest with ties to even, "-0.000000" for negative zero and the
// negative values that round to zero), without a terminating zero; returns
// the length.  Finite values below 2^63 in magnitude are made here from the
// double's exact binary value; the others (beyond any duration) by the
// server's snprintf, which records always used ("Infinity", "NaN").
inline size_t vrx_format_fixed6(char (&out)[VRX_FIXED6_MAX], double value)
{
	uint64 bits;
	memcpy(&bits, &value, sizeof(bits));
	const bool negative = (bits >> 63) != 0;
	const int exponent_field = static_cast<int>((bits >> 52) & 0x7ff);
	const uint64 fraction = bits & ((UINT64CONST(1) << 52) - 1);
	if (exponent_field == 0x7ff || !(std::fabs(value) < 9223372036854775808.0))
	{
		const int n = pg_snprintf(out, sizeof(out), "%.6f", value);
		return n > 0 ? Min(static_cast<size_t>(n), sizeof(out) - 1) : 0;
	}

	// value = mantissa * 2^exponent exactly.
	const uint64 mantissa = exponent_field == 0 ? fraction : fraction | (UINT64CONST(1) << 52);
	const int exponent = (exponent_field == 0 ? 1 : exponent_field) - 1075;

	// Millionths, rounded to nearest, ties to even.
	using uint128 = unsigned __int128;
	uint128 millionths;
	if (exponent >= 0)
		millionths = static_cast<uint128>(mantissa << exponent) * 1000000u;
	else
	{
		const uint128 scaled = static_cast<uint128>(mantissa) * 1000000u; // below 2^73
		const int shift = -exponent;
		if (shift >= 100)
			millionths = 0; // below half a millionth
		else
		{
			millionths = scaled >> shift;
			const uint128 rest = scaled & ((static_cast<uint128>(1) << shift) - 1);
			const uint128 half = static_cast<uint128>(1) << (shift - 1);
			if (rest > half || (rest == half && (millionths & 1) != 0))
				millionths++;
		}
	}

	const uint64 whole = static_cast<uint64>(millionths / 1000000u);
	uint32 part = static_cast<uint32>(millionths % 1000000u);
	char digits[20];
	char *p = digits + sizeof(digits);
	uint64 w = whole;
	do
	{
		*--p = static_cast<char>('0' + w % 10);
		w /= 10;
	} while (w != 0);

	size_t length = 0;
	if (negative)
		out[length++] = '-';
	const size_t whole_length = static_cast<size_t>(digits + sizeof(digits) - p);
	memcpy(out + length, p, whole_length);
	length += whole_length;
	out[length++] = '.';
	for (int i = 5; i >= 0; i--)
	{
		out[length + i] = static_cast<char>('0' + part % 10);
		part /= 10;
	}
	return length + 6;
}
