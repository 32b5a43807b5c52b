// Numbers of the command language, read and written the same way whatever the host's locale and
// system: a host in a comma locale still sends "1.5" and reads "1.500".
#pragma once

#include <optional>
#include <string>

// Reads the number at the start of `text`: blanks, an optional sign, digits with an optional
// point, an optional exponent introduced by E. What follows the number is not looked at.
// Hexadecimal floats, "INF" and "NAN" are not numbers of the language ("0X1P3" reads as 0).
// Gives nothing when there is no number or when its magnitude exceeds the largest double; a
// magnitude below the smallest reads as zero.
std::optional<double> ReadDecimal(const char *text);

// The value with three decimals, exactly as "%.3f" prints it in the C locale, correctly rounded.
// A NaN is "nan" whatever its sign bit.
std::string FormatFixed3(double value);
