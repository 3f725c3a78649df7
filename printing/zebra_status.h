#pragma once
// The answer of a Zebra printer to ~HS (host status): three strings, each
// framed STX ... ETX CR LF. String 1 is aaa,b,c,dddd,eee,f,g,h,iii,j,k,l
// with b the paper-out flag, c the pause flag, eee the number of formats
// in the receive buffer and h the partial-format flag; string 2 is
// mmm,n,o,p,q,r,s,t,uuuuuuuu,v,www with o the head-up flag, p the
// ribbon-out flag and uuuuuuuu the labels remaining in the batch; string 3
// is xxxx,y.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

inline constexpr std::string_view hostStatusRequest = "~HS";

struct ZebraStatus {
    bool paperOut = false;
    bool paused = false;
    bool headOpen = false;
    bool ribbonOut = false;
    bool operator==(const ZebraStatus&) const = default;
};

// What the printer still holds to print, from the same answer.
struct ZebraBuffer {
    int formats = 0;           // label formats received and not yet printed
    bool partialFormat = false;  // a format is partly received
    int labelsRemaining = 0;   // of the batch being printed
    bool empty() const { return formats == 0 && !partialFormat && labelsRemaining == 0; }
    bool operator==(const ZebraBuffer&) const = default;
};

// True once received holds three complete strings.
bool hostStatusComplete(std::string_view received);

// The flags of a ~HS answer; none when the bytes are not such an answer.
std::optional<ZebraStatus> parseHostStatus(std::string_view reply);

// The buffer of a ~HS answer; none when the bytes are not such an answer,
// or its counts are not numbers.
std::optional<ZebraBuffer> parseHostBuffer(std::string_view reply);

// How many bytes of received the first whole answer takes (up to the end
// of its third string); 0 while none is whole.
std::size_t hostStatusLength(std::string_view received);

// The faults in words, for example "paper out, head open"; empty when the
// printer is ready.
std::string faultsInWords(const ZebraStatus& status);

// The answer to ~HI (host identification): one string framed STX ... ETX,
// model,firmware,dots per millimetre,memory[,options].
inline constexpr std::string_view hostIdentificationRequest = "~HI";
bool hostIdentificationComplete(std::string_view received);
// Its dots per millimetre; none when the bytes are not such an answer.
std::optional<int> dotsPerMillimetre(std::string_view reply);
