#include <algorithm>
#include <array>
#include <cstdint>

#include "barcode/encoders.h"

namespace travcard::barcode {
namespace {

// Code 128 symbol character widths, ISO/IEC 15417, in modules written
// A = 1, B = 2, C = 3, D = 4; elements bar, space, bar, space, bar, space
// (the stop adds its termination bar).
constexpr std::array<std::string_view, 107> kValueRows = {
    // b s b s b s        value  set B  set C
    "BABBBB",    //   0  space  00
    "BBBABB",    //   1  !      01
    "BBBBBA",    //   2  "      02
    "ABABBC",    //   3  #      03
    "ABACBB",    //   4  $      04
    "ACABBB",    //   5  %      05
    "ABBBAC",    //   6  &      06
    "ABBCAB",    //   7  '      07
    "ACBBAB",    //   8  (      08
    "BBABAC",    //   9  )      09
    "BBACAB",    //  10  *      10
    "BCABAB",    //  11  +      11
    "AABBCB",    //  12  ,      12
    "ABBACB",    //  13  -      13
    "ABBBCA",    //  14  .      14
    "AACBBB",    //  15  /      15
    "ABCABB",    //  16  0      16
    "ABCBBA",    //  17  1      17
    "BBCBAA",    //  18  2      18
    "BBAACB",    //  19  3      19
    "BBABCA",    //  20  4      20
    "BACBAB",    //  21  5      21
    "BBCAAB",    //  22  6      22
    "CABACA",    //  23  7      23
    "CAABBB",    //  24  8      24
    "CBAABB",    //  25  9      25
    "CBABBA",    //  26  :      26
    "CABBAB",    //  27  ;      27
    "CBBAAB",    //  28  <      28
    "CBBBAA",    //  29  =      29
    "BABABC",    //  30  >      30
    "BABCBA",    //  31  ?      31
    "BCBABA",    //  32  @      32
    "AAACBC",    //  33  A      33
    "ACAABC",    //  34  B      34
    "ACACBA",    //  35  C      35
    "AABCAC",    //  36  D      36
    "ACBAAC",    //  37  E      37
    "ACBCAA",    //  38  F      38
    "BAACAC",    //  39  G      39
    "BCAAAC",    //  40  H      40
    "BCACAA",    //  41  I      41
    "AABACC",    //  42  J      42
    "AABCCA",    //  43  K      43
    "ACBACA",    //  44  L      44
    "AACABC",    //  45  M      45
    "AACCBA",    //  46  N      46
    "ACCABA",    //  47  O      47
    "CACABA",    //  48  P      48
    "BAACCA",    //  49  Q      49
    "BCAACA",    //  50  R      50
    "BACAAC",    //  51  S      51
    "BACCAA",    //  52  T      52
    "BACACA",    //  53  U      53
    "CAAABC",    //  54  V      54
    "CAACBA",    //  55  W      55
    "CCAABA",    //  56  X      56
    "CABAAC",    //  57  Y      57
    "CABCAA",    //  58  Z      58
    "CCBAAA",    //  59  [      59
    "CADAAA",    //  60  \      60
    "BBADAA",    //  61  ]      61
    "DCAAAA",    //  62  ^      62
    "AAABBD",    //  63  _      63
    "AAADBB",    //  64  `      64
    "ABAABD",    //  65  a      65
    "ABADBA",    //  66  b      66
    "ADAABB",    //  67  c      67
    "ADABBA",    //  68  d      68
    "AABBAD",    //  69  e      69
    "AABDAB",    //  70  f      70
    "ABBAAD",    //  71  g      71
    "ABBDAA",    //  72  h      72
    "ADBAAB",    //  73  i      73
    "ADBBAA",    //  74  j      74
    "BDABAA",    //  75  k      75
    "BBAAAD",    //  76  l      76
    "DACAAA",    //  77  m      77
    "BDAAAB",    //  78  n      78
    "ACDAAA",    //  79  o      79
    "AAABDB",    //  80  p      80
    "ABAADB",    //  81  q      81
    "ABABDA",    //  82  r      82
    "AADBAB",    //  83  s      83
    "ABDAAB",    //  84  t      84
    "ABDBAA",    //  85  u      85
    "DAABAB",    //  86  v      86
    "DBAAAB",    //  87  w      87
    "DBABAA",    //  88  x      88
    "BABADA",    //  89  y      89
    "BADABA",    //  90  z      90
    "DABABA",    //  91  {      91
    "AAAADC",    //  92  |      92
    "AAACDA",    //  93  }      93
    "ACAADA",    //  94  ~      94
    "AADAAC",    //  95  DEL    95
    "AADCAA",    //  96  FNC 3  96
    "DAAAAC",    //  97  FNC 2  97
    "DAACAA",    //  98  Shift  98
    "AACADA",    //  99  Code C 99
    "AADACA",    // 100  FNC 4  Code B
    "CAAADA",    // 101  Code A Code A
    "DAAACA",    // 102  FNC 1  FNC 1
    "BAADAB",    // 103  Start A
    "BAABAD",    // 104  Start B
    "BAABCB",    // 105  Start C
    "BCCAAAB",   // 106  Stop
};
static_assert(std::all_of(kValueRows.begin(), kValueRows.end() - 1, [](std::string_view row) { return row.size() == 6; }) &&
              kValueRows.back().size() == 7);

constexpr std::uint8_t kCodeC = 99;
constexpr std::uint8_t kCodeB = 100;
constexpr std::uint8_t kStartB = 104;
constexpr std::uint8_t kStartC = 105;
constexpr std::uint8_t kStop = 106;
constexpr std::uint8_t kCheckModulus = 103;

// Code set C pays off from six digits on: three pairs cost one value less
// than six characters in code set B, even with the switch there and back.
constexpr std::size_t kShortestCodeCRun = 6;

constexpr bool isDigit(char c) { return c >= '0' && c <= '9'; }

std::size_t digitRunLength(std::string_view text, std::size_t from) {
    std::size_t end = from;
    while (end < text.size() && isDigit(text[end]))
        ++end;
    return end - from;
}

// Code set B holds the characters from space to "~", valued by their code
// minus 32; anything else has no value there.
bool inCodeSetB(char c) { return c >= ' ' && c <= '~'; }

std::uint8_t checkCharacter(std::span<const std::uint8_t> values) {
    std::uint64_t sum = values.front();
    for (std::size_t position = 1; position < values.size(); ++position)
        sum += std::uint64_t(values[position]) * position;
    return static_cast<std::uint8_t>(sum % kCheckModulus);
}

}  // namespace

std::vector<std::uint8_t> Code128Values(std::string_view text) {
    std::vector<std::uint8_t> values;
    if (text.empty())
        return values;
    values.reserve(text.size() + 3);

    std::size_t p = 0;
    while (p < text.size()) {
        const std::size_t run = digitRunLength(text, p);
        if (run < kShortestCodeCRun) {
            if (values.empty())
                values.push_back(kStartB);
            if (inCodeSetB(text[p]))
                values.push_back(static_cast<std::uint8_t>(text[p] - ' '));
            ++p;
            continue;
        }
        values.push_back(values.empty() ? kStartC : kCodeC);
        for (std::size_t pairs = run / 2; pairs > 0; --pairs, p += 2)
            values.push_back(static_cast<std::uint8_t>(10 * (text[p] - '0') + (text[p + 1] - '0')));
        if (p < text.size())
            values.push_back(kCodeB);
    }

    values.push_back(checkCharacter(values));
    values.push_back(kStop);
    return values;
}

std::string Code128Pattern(std::span<const std::uint8_t> values) {
    std::string pattern;
    pattern.reserve(6 * values.size() + 1);
    for (std::uint8_t value : values)
        pattern += kValueRows.at(value);
    return pattern;
}

}  // namespace travcard::barcode
