// varnholt-nodesim: built-in directory snapshots.
#include "tools/nodesim/Samples.h"

#include <arpa/inet.h>

#include <cstring>

namespace nodesim {

std::int32_t NetOrderInt(const char* ipv4) {
    in_addr a{};
    inet_pton(AF_INET, ipv4, &a);
    std::int32_t v = 0;
    std::memcpy(&v, &a, 4);  // network-order bytes read as a host integer
    return v;
}

std::int32_t NetOrderShort(std::uint16_t port) {
    const std::uint16_t net = htons(port);
    return static_cast<std::int32_t>(net);
}

const std::vector<SampleUser>& SampleUsers() {
    static const std::vector<SampleUser> users = {{"alice", 10}, {"bob", 11}, {"carol", 12}, {"dave", 10}};
    return users;
}

const std::vector<SampleUser>& SampleAdmins() {
    static const std::vector<SampleUser> admins = {{"admin", 1}, {"auditor", 2}, {"operator", 1}};
    return admins;
}

std::string AdminSample() {
    const std::string op = std::to_string(NetOrderInt("192.168.1.200"));
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<oskarifile version=\"1\">\n"
           "  <filecontent>\n"
           "    <CtrlGroup>\n"
           "      <group id=\"1\" pgrpid=\"0\" name=\"Administrators\" description=\"full control\"/>\n"
           "      <group id=\"2\" pgrpid=\"1\" name=\"Auditors\" description=\"read-only access\"/>\n"
           "    </CtrlGroup>\n"
           "    <CtrlManager>\n"
           "      <manager id=\"1\" name=\"admin\" pgrpid=\"1\" password=\"21232f297a57a5a743894a0e4a801fc3\""
           " login_ip=\"0\" status=\"0\" description=\"built-in administrator\"/>\n"
           "      <manager id=\"2\" name=\"auditor\" pgrpid=\"2\" password=\"f7e8a1b0c3d2e5f4a7b6c9d8e1f0a3b2\""
           " login_ip=\"0\" status=\"0\" description=\"log reviewer\"/>\n"
           "      <manager id=\"3\" name=\"operator\" pgrpid=\"1\" password=\"4b583376b2767b923c3e1da60d10de59\""
           " login_ip=\"" +
           op +
           "\" status=\"1\" description=\"bound to 192.168.1.200\"/>\n"
           "    </CtrlManager>\n"
           "  </filecontent>\n"
           "</oskarifile>\n";
}

std::string UserSample() {
    const std::string web = std::to_string(NetOrderInt("10.0.0.9"));
    const std::string mail = std::to_string(NetOrderInt("10.0.0.10"));
    const std::string p80 = std::to_string(NetOrderShort(80));
    const std::string p443 = std::to_string(NetOrderShort(443));
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<content>\n"
           "  <tarngroup>\n"
           "    <row id=\"10\" pgrpid=\"0\" name=\"Sales\" description=\"sales staff\"/>\n"
           "    <row id=\"11\" pgrpid=\"0\" name=\"Engineering\" description=\"developers\"/>\n"
           "    <row id=\"12\" pgrpid=\"11\" name=\"Support\" description=\"second-level support\"/>\n"
           "  </tarngroup>\n"
           "  <tarnuser>\n"
           "    <row id=\"1\" name=\"alice\" grpid=\"10\" status=\"0\" description=\"Alice Example\"/>\n"
           "    <row id=\"2\" name=\"bob\" grpid=\"11\" status=\"0\" description=\"Bob Example\"/>\n"
           "    <row id=\"3\" name=\"carol\" grpid=\"12\" status=\"0\" description=\"Carol Example\"/>\n"
           "    <row id=\"4\" name=\"dave\" grpid=\"10\" status=\"1\" description=\"on leave\"/>\n"
           "  </tarnuser>\n"
           "  <tarnrcgrp>\n"
           "    <row id=\"1\" pgrpid=\"0\" name=\"Internal services\" description=\"servers in the office network\"/>\n"
           "  </tarnrcgrp>\n"
           "  <tarnrc>\n"
           "    <row id=\"1\" name=\"intranet\" rcgrpid=\"1\" type=\"1\" address=\"" +
           web + "\" port=\"" + p80 +
           "\" url=\"http://10.0.0.9/\" description=\"intranet web\"/>\n"
           "    <row id=\"2\" name=\"mail\" rcgrpid=\"1\" type=\"0\" address=\"" +
           mail + "\" port=\"" + p443 +
           "\" url=\"imaps://10.0.0.10/\" description=\"mail server\"/>\n"
           "  </tarnrc>\n"
           "</content>\n";
}

std::string DeviceSample() {
    const std::string gw = std::to_string(NetOrderInt("192.168.1.1"));
    const std::string gw2 = std::to_string(NetOrderInt("192.168.1.254"));
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<content>\n"
           "  <devices>\n"
           "    <row id=\"1\" name=\"gw-main\" dev_ip=\"" +
           gw +
           "\" dev_type=\"0\" description=\"primary gateway\"/>\n"
           "    <row id=\"2\" name=\"gw-standby\" dev_ip=\"" +
           gw2 +
           "\" dev_type=\"1\" description=\"standby\"/>\n"
           "  </devices>\n"
           "</content>\n";
}

}  // namespace nodesim
