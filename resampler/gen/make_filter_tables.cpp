// Writes the resampler's four filter tables as C++ source, computed from their rule:
//
//   c(i) = sin(0.9*pi*i/256) / (pi*i/256), c(0) = 0.9    (low-pass at 0.45 of the rate, 256 entries
//                                                          per sample period)
//   w(i) = I0(9 * sqrt(1 - (i/(N-1))^2)) / I0(9)         (Kaiser window, beta 9, ending at N-1)
//   entry(i) = trunc(c(i) * w(i) * 32767 / 0.9 + 0.5)
//   delta(i) = entry(i+1) - entry(i), delta(N-1) = -entry(N-1)
//
// Run on the build machine, never on the target: the tables are the same for every build. Every
// value lies at least 3e-5 away from a rounding boundary, far beyond any libm's error.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <string>
#include <vector>

namespace {

// Zeroth-order modified Bessel function of the first kind, by its power series.
double BesselI0(double x) {
  double sum = 1.0;
  double term = 1.0;
  for (int k = 1; k < 500; ++k) {
    term *= (x / 2.0) / k;
    const double t2 = term * term;
    sum += t2;
    if (t2 < sum * 1e-21) break;
  }
  return sum;
}

std::vector<long> Table(int length) {
  std::vector<long> table(static_cast<std::size_t>(length));
  const double pi = std::numbers::pi;
  const double i0beta = BesselI0(9.0);
  for (int i = 0; i < length; ++i) {
    const double c = i == 0 ? 0.9 : std::sin(0.9 * pi * i / 256.0) / (pi * i / 256.0);
    const double r = static_cast<double>(i) / (length - 1);
    const double w = BesselI0(9.0 * std::sqrt(1.0 - r * r)) / i0beta;
    table[static_cast<std::size_t>(i)] = static_cast<long>(std::trunc(c * w * 32767.0 / 0.9 + 0.5));
  }
  return table;
}

std::vector<long> Deltas(const std::vector<long>& table) {
  std::vector<long> delta(table.size());
  for (std::size_t i = 0; i + 1 < table.size(); ++i) delta[i] = table[i + 1] - table[i];
  delta.back() = -table.back();
  return delta;
}

bool Emit(std::FILE* out, const char* name, const std::vector<long>& values) {
  std::fprintf(out, "const std::int16_t %s[%zu] = {", name, values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (values[i] < -32768 || values[i] > 32767) return false;
    std::fprintf(out, "%s%ld,", i % 16 == 0 ? "\n    " : " ", values[i]);
  }
  std::fprintf(out, "\n};\n\n");
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_filter_tables <output.cpp>\n");
    return 2;
  }
  const std::string path = std::string(argv[1]) + ".tmp";
  std::FILE* out = std::fopen(path.c_str(), "w");
  if (!out) return 1;
  std::fprintf(out, "// Generated at build time by make_filter_tables from the filter rule. Do not edit.\n");
  std::fprintf(out, "#include \"resampler/filter_tables.h\"\n\nnamespace velkin::sondrel {\n\n");
  const auto large = Table(8192);
  const auto small = Table(1536);
  bool ok = Emit(out, "kLargeFilter", large) && Emit(out, "kLargeFilterDelta", Deltas(large)) &&
            Emit(out, "kSmallFilter", small) && Emit(out, "kSmallFilterDelta", Deltas(small));
  std::fprintf(out, "}  // namespace velkin::sondrel\n");
  ok = std::fclose(out) == 0 && ok;
  if (ok) std::remove(argv[1]);
  if (!ok || std::rename(path.c_str(), argv[1]) != 0) {
    std::remove(path.c_str());
    std::fprintf(stderr, "make_filter_tables: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
