// Two network namespaces joined by a veth pair: a "server" host 10.77.0.1/24
// and a "tool" host 10.77.0.2/24. Nothing sent inside them, the discovery
// broadcast included, can reach any other network. Removed on destruction.
#pragma once

#include <string>
#include <vector>

namespace kdl::test {

class PrivateNetwork {
 public:
  static constexpr const char* kServerIp = "10.77.0.1";
  static constexpr const char* kToolIp = "10.77.0.2";

  PrivateNetwork() = default;
  ~PrivateNetwork() { Remove(); }
  PrivateNetwork(const PrivateNetwork&) = delete;
  PrivateNetwork& operator=(const PrivateNetwork&) = delete;

  // Why namespaces cannot be made here ("" when they can be tried).
  static std::string WhyUnavailable();

  // Creates both namespaces under names unique to this process and call.
  bool Create(std::string* error);
  void Remove();

  // argv that runs `argv` inside the server or the tool namespace.
  std::vector<std::string> InServer(const std::vector<std::string>& argv) const;
  std::vector<std::string> InTool(const std::vector<std::string>& argv) const;

 private:
  static bool WaitUntilUp(const std::string& ns, const std::string& dev, std::string* error);

  std::string m_serverNs;
  std::string m_toolNs;
  bool m_created = false;
};

// Path of the ip tool ("" when missing).
std::string IpToolPath();

}  // namespace kdl::test
