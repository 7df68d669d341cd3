#include "estimate/platform.hpp"

#include <algorithm>
#include <vector>

namespace zarv {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_upper(char c) { return c >= 'A' && c <= 'Z'; }
bool is_hex(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

bool all_digits(std::string_view s) { return std::all_of(s.begin(), s.end(), is_digit); }

bool nanopore_uuid(std::string_view name) {
  if (name.size() != 36) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    const bool dash_pos = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash_pos ? name[i] != '-' : !is_hex(name[i])) return false;
  }
  return true;
}

bool nanopore_description(std::string_view desc) {
  for (std::string_view key : {"runid=", "read=", "ch=", "start_time="}) {
    if (desc.find(key) != std::string_view::npos) return true;
  }
  return false;
}

bool pacbio_name(std::string_view name) {
  // A name part ending in "/" never votes PacBio, whatever its fields.
  if (!name.empty() && name.back() == '/') return false;
  const size_t first = name.find('/');
  if (first == std::string_view::npos) return false;
  const size_t second = name.find('/', first + 1);
  if (second == std::string_view::npos) return false;
  const std::string_view movie = name.substr(0, first);
  const std::string_view hole = name.substr(first + 1, second - first - 1);
  if (movie.empty() || movie[0] != 'm' || std::none_of(movie.begin(), movie.end(), is_digit)) return false;
  return !hole.empty() && all_digits(hole);
}

// The name without a final "/1" or "/2".
std::string_view effective_name(std::string_view name) {
  const size_t n = name.size();
  if (n >= 2 && name[n - 2] == '/' && (name[n - 1] == '1' || name[n - 1] == '2')) return name.substr(0, n - 2);
  return name;
}

bool mgi_name(std::string_view eff) {
  size_t i = 0;
  while (i < eff.size() && is_upper(eff[i])) ++i;
  if (i < 1 || i > 3) return false;
  const size_t digits_start = i;
  while (i < eff.size() && is_digit(eff[i])) ++i;
  if (i == digits_start) return false;
  const std::string_view rest = eff.substr(i);
  if (rest.size() < 2 || rest[0] != 'L' || !is_digit(rest[1])) return false;
  return rest.find('C') != std::string_view::npos && rest.find('R') != std::string_view::npos;
}

bool illumina_name(std::string_view eff) {
  const std::string_view head = eff.substr(0, eff.find('#'));
  if (head.empty()) return false;
  std::vector<std::string_view> fields;
  size_t start = 0;
  for (;;) {
    const size_t colon = head.find(':', start);
    if (colon == std::string_view::npos) {
      fields.push_back(head.substr(start));
      break;
    }
    fields.push_back(head.substr(start, colon - start));
    start = colon + 1;
  }
  if (fields.size() < 5) return false;
  const std::string_view a = fields[fields.size() - 2];
  const std::string_view b = fields[fields.size() - 1];
  return !a.empty() && !b.empty() && all_digits(a) && all_digits(b);
}

enum Vote { kIllumina, kNanopore, kPacBio, kMgi, kUnmatched };

Vote vote(std::string_view full) {
  const size_t space = full.find(' ');
  const std::string_view name = full.substr(0, space);
  const std::string_view desc = space == std::string_view::npos ? std::string_view{} : full.substr(space + 1);
  if (nanopore_uuid(name)) return kNanopore;
  if (nanopore_description(desc)) return kNanopore;
  if (pacbio_name(name)) return kPacBio;
  const std::string_view eff = effective_name(name);
  if (eff.empty()) return kUnmatched;
  if (mgi_name(eff)) return kMgi;
  if (illumina_name(eff)) return kIllumina;
  return kUnmatched;
}

}  // namespace

Platform classify_names(std::span<const std::string_view> names) {
  uint64_t counts[5] = {0, 0, 0, 0, 0};
  for (std::string_view name : names) ++counts[vote(name)];
  const uint64_t i = counts[kIllumina], n = counts[kNanopore], p = counts[kPacBio], m = counts[kMgi];
  if (m > std::max({i, n, p})) return Platform::MgiBgi;
  if (p > std::max(i, n)) return Platform::PacBio;
  if (n > i) return Platform::Nanopore;
  if (i >= 1) return Platform::Illumina;
  return Platform::Unknown;
}

Platform detect_platform(uint8_t hint, const SampleBatch& batch) {
  if (hint < kNoPlatformHint) return static_cast<Platform>(hint);
  const size_t m = std::min(batch.records(), kPlatformRecordsExamined);
  std::vector<std::string_view> names;
  names.reserve(m);
  for (size_t r = 0; r < m; ++r) names.push_back(batch.name(r));
  const Platform by_name = classify_names(names);
  if (by_name != Platform::Unknown || m == 0) return by_name;

  uint64_t total_length = 0;
  for (size_t r = 0; r < m && r < batch.read_lengths.size(); ++r) total_length += batch.read_lengths[r];
  const double mean_length = static_cast<double>(total_length) / static_cast<double>(m);
  if (mean_length <= 500.0) return Platform::Unknown;

  const uint64_t q = std::min<uint64_t>(total_length, batch.qualities.size());
  if (q == 0) return Platform::Unknown;
  uint64_t phred_sum = 0;
  for (uint64_t j = 0; j < q; ++j) {
    const uint8_t c = batch.qualities[j];
    phred_sum += c < 33 ? 0 : c - 33;
  }
  const double mean_phred = static_cast<double>(phred_sum) / static_cast<double>(q);
  if (mean_phred >= 32.0) return Platform::PacBio;
  if (mean_phred <= 28.0) return Platform::Nanopore;
  return Platform::Unknown;
}

const char* platform_member_name(Platform p) {
  switch (p) {
    case Platform::Illumina: return "Illumina";
    case Platform::Nanopore: return "Nanopore";
    case Platform::PacBio: return "PacBio";
    case Platform::MgiBgi: return "MgiBgi";
    case Platform::Unknown: break;
  }
  return "Unknown";
}

}  // namespace zarv
