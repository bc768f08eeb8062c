// What the viewer tells its user while it waits for the partner and when it is turned away,
// and how long it waits before it tries again by itself. Plain rules over what the wire
// carries: the relay's refusal text and how long the wait took.
#pragma once

#include <cstdint>
#include <string>

namespace tlm {

// A host answers a request with the right password at once; one that has not answered
// after this long is asking its user, so the password was wrong or none is set there.
constexpr int64_t ProofAnswerMs = 3000;
// After the partner turned a password down it registers again; the request without the password
// follows this much later.
constexpr int PasswordFallbackDelayMs = 1000;
// A host declines a question nobody answers after 60 seconds with the same text as a refusal;
// a refusal that came this late is reported as that time-out.
constexpr int64_t ConsentLapseMs = 58000;

// The status line while the partner's user is being asked although a password was given.
std::string AskingDespitePasswordText();

// The status line while the partner's user is being asked because the password was wrong.
std::string WrongPasswordAskingText();

// The relay's refusal text ARelayText as the user reads it, given whether a password proof
// was sent and how long the request had been waiting.
std::string DescribeRefusal(const std::string& ARelayText, bool AProofGiven, int64_t AWaitedMs);

// Whether a refusal came from the partner's user (refused or left unanswered): asking again by
// itself would pester them, so the viewer does not.
bool RefusedByPartner(const std::string& ARelayText);

// Seconds before automatic attempt AAttempt (1 for the first after a loss): doubling from 2,
// at most 30.
int RetryDelaySeconds(int AAttempt);

}  // namespace tlm
