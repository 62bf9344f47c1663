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

// The longest decimal text of a 64-bit integer: "-9223372036854775808".
constexpr size_t VRX_INT64_TEXT_MAX = 20;

// "00" to "99": numbers are written two digits at a time.
struct vrx_digit_pairs
{
	char text[200];
};
constexpr vrx_digit_pairs vrx_make_digit_pairs()
{
	vrx_digit_pairs pairs = {};
	for (int i = 0; i < 100; i++)
	{
		pairs.text[2 * i] = static_cast<char>('0' + i / 10);
		pairs.text[2 * i + 1] = static_cast<char>('0' + i % 10);
	}
	return pairs;
}
inline constexpr vrx_digit_pairs VRX_DIGIT_PAIRS = vrx_make_digit_pairs();

// Writes value below 100 as two digits at out; returns the end.
inline char *vrx_write_two_digits(char *out, unsigned value)
{
	memcpy(out, &VRX_DIGIT_PAIRS.text[2 * value], 2);
	return out + 2;
}

// Writes value below 10^width, zero-padded to width digits (an even width),
// at out; returns the end.
inline char *vrx_write_padded(char *out, unsigned value, int width)
{
	for (int i = width - 2; i >= 0; i -= 2)
	{
		(void) vrx_write_two_digits(out + i, value % 100);
		value /= 100;
	}
	return out + width;
}

// Writes value's decimal digits at out; returns the end.
inline char *vrx_write_uint64(char *out, uint64 value)
{
	if (value < 10)
	{
		*out = static_cast<char>('0' + value);
		return out + 1;
	}
	char digits[VRX_INT64_TEXT_MAX];
	char *p = digits + sizeof(digits);
	while (value >= 100)
	{
		p -= 2;
		(void) vrx_write_two_digits(p, static_cast<unsigned>(value % 100));
		value /= 100;
	}
	if (value >= 10)
	{
		p -= 2;
		(void) vrx_write_two_digits(p, static_cast<unsigned>(value));
	}
	else
		*--p = static_cast<char>('0' + value);
	const size_t length = static_cast<size_t>(digits + sizeof(digits) - p);
	memcpy(out, p, length);
	return out + length;
}

inline char *vrx_write_int64(char *out, int64 value)
{
	if (value >= 0)
		return vrx_write_uint64(out, static_cast<uint64>(value));
	*out = '-';
	return vrx_write_uint64(out + 1, 0 - static_cast<uint64>(value));
}

// Writes value at out exactly as snprintf's "%.6f" does (in the C locale, rounding
// to nearest with ties to even, "-0.000000" for negative zero and the
// negative values that round to zero), without a terminating zero; returns
// the end.  Finite values below 2^63 in magnitude are made here from the
// double's exact binary value; the others (beyond any duration) by the
// server's snprintf, which records always used ("Infinity", "NaN").
inline char *vrx_write_fixed6(char *out, double value) // room for VRX_FIXED6_MAX
{
	uint64 bits;
	memcpy(&bits, &value, sizeof(bits));
	const bool negative = (bits >> 63) != 0;
	const int exponent_field = static_cast<int>((bits >> 52) & 0x7ff);
	const uint64 fraction = bits & ((UINT64CONST(1) << 52) - 1);
	if (exponent_field == 0x7ff || !(std::fabs(value) < 9223372036854775808.0))
	{
		const int n = pg_snprintf(out, VRX_FIXED6_MAX, "%.6f", value);
		return out + (n > 0 ? Min(static_cast<size_t>(n), VRX_FIXED6_MAX - 1) : 0);
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

	if (negative)
		*out++ = '-';
	out = vrx_write_uint64(out, static_cast<uint64>(millionths / 1000000u));
	*out++ = '.';
	return vrx_write_padded(out, static_cast<unsigned>(millionths % 1000000u), 6);
}

inline size_t vrx_format_fixed6(char (&out)[VRX_FIXED6_MAX], double value)
{
	return static_cast<size_t>(vrx_write_fixed6(out, value) - out);
}
