#pragma once
// The answer of a Zebra printer to ~HS (host status): three strings, each
// framed STX ... ETX CR LF. String 1 is aaa,b,c,dddd,eee,f,g,h,iii,j,k,l
// with b the paper-out flag and c the pause flag; string 2 is
// mmm,n,o,p,q,r,s,t,uuuuuuuu,v,www with o the head-up flag and p the
// ribbon-out flag; string 3 is xxxx,y.

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

// True once received holds three complete strings.
bool hostStatusComplete(std::string_view received);

// The flags of a ~HS answer; none when the bytes are not such an answer.
std::optional<ZebraStatus> parseHostStatus(std::string_view reply);

// The faults in words, for example "paper out, head open"; empty when the
// printer is ready.
std::string faultsInWords(const ZebraStatus& status);

// The answer to ~HI (host identification): one string framed STX ... ETX,
// model,firmware,dots per millimetre,memory[,options].
inline constexpr std::string_view hostIdentificationRequest = "~HI";
bool hostIdentificationComplete(std::string_view received);
// Its dots per millimetre; none when the bytes are not such an answer.
std::optional<int> dotsPerMillimetre(std::string_view reply);
