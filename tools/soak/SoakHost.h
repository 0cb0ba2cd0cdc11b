// The soak host: drives the library's nine exports the way an image-
// administration host does (discover, log in, any request, log in again
// after a close, retry a request once after a time-out) for a given time,
// against a simulator that tags its replies (kelvane-server --tag-replies),
// and checks every result: the request's own answer, or 1.
#pragma once

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "tools/host/KelvaneApi.h"
#include "tools/soak/SoakFigures.h"

namespace kdl::soak {

struct SoakOptions {
  std::string lib;                 // --lib, else as kelvane finds it
  std::string phaseFile;           // names the phase; "end" ends the soak
  std::string reportFile;          // the figures; "" stderr
  std::string namePrefix = "soak"; // login names are "<prefix>-<session>"
  std::string expectServer;        // "ADDR:PORT" discovery must find; "" the first found
  uint32_t seconds = 600;          // the soak ends after this long at the latest
  uint32_t pauseMs = 20;           // between two requests
  uint32_t seed = 1;               // of the order of the requests
  uint32_t slackMs = 250;          // allowed beyond a request's bound (a busy machine)
};

class SoakHost {
 public:
  SoakHost(const kdl::host::KelvaneApi& api, const SoakOptions& options);

  // Runs the soak; false when the library's service never started.
  bool Run();
  const SoakFigures& Figures() const { return m_figures; }

 private:
  // What the request in hand expects, filled before it is sent.
  struct Ask;

  bool StartService(double untilSeconds);
  void RestartService();
  // Reads the phase file; false once it says "end".
  bool PollPhase();
  void Step();
  int PickKind();
  void Request(int kind);
  void Prepare(int kind, Ask* ask);
  void Judge(const Ask& ask, int result, uint32_t ms, bool closed);
  void JudgeFailure(const Ask& ask, uint32_t ms, bool closed);
  void JudgeDiscover(uint32_t ms, int result);
  // Counts an answer that is not the request's own; `desync` logs in anew.
  void Mismatch(const Ask& ask, Outcome outcome, uint32_t ms, const std::string& detail);

  // The tag that the records of `kind` carry now (0: none).
  uint32_t RecordTagOf(int kind) const;
  // "" when the records of the request `ask` are those tagged `tag` (and
  // otherwise as the first answer of its kind showed), else what is wrong.
  std::string CheckRecords(const Ask& ask, uint32_t tag);
  std::string CheckLogin(uint32_t tag);
  std::string CheckImages(uint32_t tag);
  std::string CheckSnapshots(uint32_t tag);
  std::string CheckSelect(uint32_t imageId, uint32_t tag);

  double Now() const;

  const kdl::host::KelvaneApi& m_api;
  SoakOptions m_options;
  SoakFigures m_figures;
  std::mt19937 m_random;
  std::string m_logDir;
  std::string m_phase;
  bool m_corrupting = false;  // the phase alters bytes: mismatches are counted apart

  bool m_discovered = false;
  bool m_loggedIn = false;
  uint32_t m_closesSeen = 0;
  uint32_t m_session = 0;
  uint32_t m_serial = 0;  // requests on the link since the login
  int m_retryKind = -1;   // a request to try again after a time-out
  uint32_t m_timeoutsInRow = 0;
  uint32_t m_loginFailuresInRow = 0;
  uint32_t m_selectTurn = 0;

  // What the first own answers showed, which later ones must repeat (never
  // learnt in a phase that alters bytes).
  bool m_haveServer = false;
  uint32_t m_serverIp = 0;
  uint16_t m_serverPort = 0;
  bool m_haveClient = false;
  Kelvane::_IN_CLIENT_INFO m_client = {};
  bool m_haveImages = false;
  std::vector<Kelvane::_IN_IMAGE_INFO> m_images;
  bool m_haveSnapshots = false;
  Kelvane::SnapInfoMap m_snapshots;
  std::map<uint32_t, std::string> m_paths;  // select path per image id, without the tag
};

}  // namespace kdl::soak
