// zantrox-cli ports, map and unmap, and the open-failure explanations, on a fake
// /dev, /sys, /proc and HOME made in a temporary folder.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "events/exit_status.h"
#include "events/trace_text.h"
#include "outputs/json_line.h"
#include "cli/ports/ports.h"
#include "port/port.h"
#include "tests/support/ser2net_process.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

const char* const kById = "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";

void Write(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text << "\n";
}

void Link(const fs::path& link, const std::string& target) {
    fs::create_directories(link.parent_path());
    fs::create_directory_symlink(target, link);  // works for any target, even a missing one
}

// Captures what a function writes to a FILE*.
struct Capture {
    std::FILE* file = std::tmpfile();
    ~Capture() { std::fclose(file); }
    std::string Text() {
        std::fflush(file);
        std::rewind(file);
        std::string text;
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
        return text;
    }
};

class CliPorts : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/zantrox-ports-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        tree_.dev = (root_ / "dev").string();
        tree_.sys = (root_ / "sys").string();
        tree_.home = (root_ / "home").string();
        tree_.proc = (root_ / "proc").string();
        // A USB adapter: the node, its stable name, and sysfs as the kernel lays it out.
        Write(root_ / "dev/ttyUSB0", "");
        Link(root_ / "dev/serial/by-id" / kById, "../../ttyUSB0");
        fs::path usb = root_ / "sys/devices/pci0000:00/usb1/1-2";
        Write(usb / "idVendor", "0403");
        Write(usb / "idProduct", "6001");
        Write(usb / "manufacturer", "FTDI");
        Write(usb / "product", "FT232R USB UART");
        Write(usb / "serial", "A50285BI");
        fs::create_directories(usb / "1-2:1.0/ttyUSB0/tty/ttyUSB0");
        fs::create_directories(root_ / "sys/bus/usb-serial/drivers/ftdi_sio");
        Link(usb / "1-2:1.0/ttyUSB0/driver", "../../../../../../bus/usb-serial/drivers/ftdi_sio");
        fs::create_directories(root_ / "sys/class/tty/ttyUSB0");
        Link(root_ / "sys/class/tty/ttyUSB0/device", "../../../devices/pci0000:00/usb1/1-2/1-2:1.0/ttyUSB0");
        // A motherboard UART and a ttyS name with nothing behind it.
        Write(root_ / "dev/ttyS0", "");
        Write(root_ / "dev/ttyS1", "");
        Write(root_ / "sys/class/tty/ttyS0/type", "4");
        Write(root_ / "sys/class/tty/ttyS1/type", "0");
        // COM1 on the adapter's stable name; COM2 on an adapter that is unplugged.
        Link(Com(1), (root_ / "dev/serial/by-id" / kById).string());
        Link(Com(2), (root_ / "dev/ttyUSB1").string());
    }
    void TearDown() override { fs::remove_all(root_); }

    fs::path Com(int k) const { return root_ / "home/.config/zantrox" / ("com" + std::to_string(k)); }
    std::string Dev(const std::string& name) const { return (root_ / "dev" / name).string(); }

    int Map(int k, const std::string& device, bool allowMissing = false, bool replace = false) {
        out_ = std::make_unique<Capture>();
        err_ = std::make_unique<Capture>();
        MapChoices choices;
        choices.allowMissing = allowMissing;
        choices.replace = replace;
        return RunMap(tree_, k, device, choices, out_->file, err_->file);
    }
    int Unmap(int k, bool force) {
        out_ = std::make_unique<Capture>();
        err_ = std::make_unique<Capture>();
        return RunUnmap(tree_, k, force, out_->file, err_->file);
    }

    fs::path root_;
    DeviceTree tree_;
    std::unique_ptr<Capture> out_, err_;
};

TEST_F(CliPorts, PortsJsonListsComPortsThenDevices) {
    Capture out, err;
    ASSERT_EQ(RunPorts(tree_, true, out.file, err.file), EXIT_ALL_OK);
    std::vector<json> lines;
    std::string text = out.Text();
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        lines.push_back(json::parse(text.substr(at, end - at)));  // throws on a line that is not JSON
    }
    ASSERT_GE(lines.size(), 11u);
    for (int k = 1; k <= 9; ++k) EXPECT_EQ(lines[k - 1].value("com", 0), k);

    const json& com1 = lines[0];
    EXPECT_EQ(com1["path"], Com(1).string());
    EXPECT_EQ(com1["target"], Dev(std::string("serial/by-id/") + kById));
    EXPECT_EQ(com1["resolved"], fs::canonical(Dev("ttyUSB0")).string());
    EXPECT_TRUE(com1["exists"].get<bool>());
    EXPECT_TRUE(com1["why"].is_null());

    // A link to nothing is COM2 all the same: the console opens it and fails.
    const json& com2 = lines[1];
    EXPECT_EQ(com2["path"], Com(2).string());
    EXPECT_FALSE(com2["exists"].get<bool>());
    EXPECT_NE(com2["why"].get<std::string>().find("not there"), std::string::npos);

    EXPECT_EQ(lines[2]["path"], Dev("ttyS2"));  // no link: the usual ttyS
    EXPECT_FALSE(lines[2]["exists"].get<bool>());

    std::vector<json> devices(lines.begin() + 9, lines.end());
    ASSERT_EQ(devices.size(), 2u) << text;  // ttyS0 and ttyUSB0; ttyS1 has no UART
    const json& uart = devices[0];
    const json& usb = devices[1];
    EXPECT_EQ(uart["device"], Dev("ttyS0"));
    EXPECT_EQ(uart["uart"], "16550A");
    EXPECT_EQ(usb["device"], Dev("ttyUSB0"));
    EXPECT_EQ(usb["by_id"], json::array({Dev(std::string("serial/by-id/") + kById)}));
    EXPECT_EQ(usb["maker"], "FTDI");
    EXPECT_EQ(usb["product"], "FT232R USB UART");
    EXPECT_EQ(usb["serial"], "A50285BI");
    EXPECT_EQ(usb["driver"], "ftdi_sio");
    EXPECT_EQ(usb["usb_id"], "0403:6001");
    EXPECT_EQ(usb["com"], json::array({1}));
}

TEST_F(CliPorts, PortsJsonStaysJsonWhateverTheNamesHoldAsDoesEveryJsonLine) {
    // A mapping made to a name that is not UTF-8, and a USB string that is not
    // either: every line still parses, the bad bytes shown as U+FFFD.
    Link(Com(3), (root_ / "dev/tty\xff").string());
    Write(root_ / "sys/devices/pci0000:00/usb1/1-2/product", "FT232R \xc3(");
    Capture out, err;
    ASSERT_EQ(RunPorts(tree_, true, out.file, err.file), EXIT_ALL_OK);
    std::string text = out.Text();
    std::vector<json> lines;
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        lines.push_back(json::parse(text.substr(at, end - at)));
    }
    ASSERT_GE(lines.size(), 11u);
    EXPECT_EQ(lines[2]["target"], Dev("tty") + "\xef\xbf\xbd");
    EXPECT_EQ(lines.back()["product"], "FT232R \xef\xbf\xbd(");

    // The writer every subcommand uses: UTF-8 passes as it is, line bytes kept by
    // JsonText, a NUL escaped rather than ending the text.
    JsonValue j;
    j["name"] = std::string("caf\xc3\xa9 \xfe");
    j["line"] = JsonText(std::string("A\0B\x81", 4));
    EXPECT_EQ(JsonLine(j), "{\"name\":\"caf\xc3\xa9 \xef\xbf\xbd\",\"line\":\"A\\u0000B\xc2\x81\"}");
}

TEST_F(CliPorts, PortsTextSaysWhatEachPortIs) {
    Capture out, err;
    ASSERT_EQ(RunPorts(tree_, false, out.file, err.file), EXIT_ALL_OK);
    std::string text = out.Text();
    EXPECT_NE(text.find("COM1  ready    ~/.config/zantrox/com1 -> " + Dev("serial/by-id/")), std::string::npos) << text;
    EXPECT_NE(text.find("COM2  missing  ~/.config/zantrox/com2"), std::string::npos) << text;
    EXPECT_NE(text.find("is the adapter unplugged?"), std::string::npos) << text;
    EXPECT_NE(text.find("FTDI FT232R USB UART, serial A50285BI, driver ftdi_sio, USB 0403:6001, is COM1"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(std::string("by-id ") + kById), std::string::npos) << text;
    EXPECT_NE(text.find("UART 16550A"), std::string::npos) << text;
    EXPECT_EQ(text.find(Dev("ttyS1") + " "), std::string::npos) << text;
}

// The renderer on facts as another system gathers them (a COM name standing for
// a kernel device, nothing from sysfs): the same keys in every line of a kind,
// and the words for each state.
TEST(CliPortsRender, EverySystemsFactsGiveTheSameShape) {
    PortsFacts facts;
    ComPortFacts com;
    com.k = 1;
    com.path = "Com1";
    com.problem = OPEN_ERROR_BUSY;
    com.why = "busy (held by another program)";
    facts.coms.push_back(com);
    com.k = 2;
    com.path = "Com2";
    com.problem = OPEN_ERROR_NO_DEVICE;
    com.why = "no such port on this PC";
    facts.coms.push_back(com);
    DeviceFacts bare;
    bare.path = "COM1";
    bare.target = "\\Device\\Serial0";
    bare.coms = {1};
    bare.problem = OPEN_ERROR_BUSY;
    DeviceFacts rich;
    rich.path = "/dev/ttyUSB0";
    rich.byId = {"/dev/serial/by-id/x"};
    rich.maker = "FTDI";
    rich.product = "FT232R";
    rich.serial = "A5";
    rich.driver = "ftdi_sio";
    rich.usbId = "0403:6001";
    rich.uart = "16550A";
    facts.devices = {bare, rich};

    Capture out;
    PrintPortsJson(facts, out.file);
    std::vector<json> lines;
    std::string text = out.Text();
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        lines.push_back(json::parse(text.substr(at, end - at)));
    }
    ASSERT_EQ(lines.size(), 4u);
    auto keys = [](const json& j) {
        std::vector<std::string> names;
        for (auto it = j.begin(); it != j.end(); ++it) names.push_back(it.key());
        return names;
    };
    EXPECT_EQ(keys(lines[0]), keys(lines[1]));
    EXPECT_EQ(keys(lines[2]), keys(lines[3]));
    EXPECT_TRUE(lines[0]["exists"].get<bool>());
    EXPECT_FALSE(lines[0]["access"].get<bool>());
    EXPECT_TRUE(lines[2]["maker"].is_null());
    EXPECT_EQ(lines[2]["target"], "\\Device\\Serial0");
    EXPECT_TRUE(lines[3]["target"].is_null());

    Capture words;
    DeviceTree tree;
    PrintPortsText(facts, tree, words.file);
    text = words.Text();
    EXPECT_NE(text.find("COM1  busy     Com1\n"), std::string::npos) << text;
    EXPECT_NE(text.find("busy (held by another program)"), std::string::npos) << text;
    EXPECT_EQ(text.find("no such port"), std::string::npos) << text;  // "missing" says it
    EXPECT_NE(text.find("\\Device\\Serial0, is COM1"), std::string::npos) << text;
}

// Facts as Windows gathers them: a built-in COM1, a USB adapter Windows numbered
// COM12 (out of the console's menu), a USB adapter on COM3 that another program holds.
PortsFacts WindowsFacts() {
    PortsFacts facts;
    DeviceFacts builtIn;
    builtIn.path = "COM1";
    builtIn.number = 1;
    builtIn.name = "Communications Port (COM1)";
    builtIn.maker = "(Standard port types)";
    builtIn.hardwareId = "ACPI\\PNP0501";
    builtIn.driver = "Serial";
    builtIn.target = "\\Device\\Serial0";
    builtIn.coms = {1};
    DeviceFacts busy;
    busy.path = "COM3";
    busy.number = 3;
    busy.name = "Prolific USB-to-Serial Comm Port (COM3)";
    busy.maker = "Prolific";
    busy.hardwareId = "USB\\VID_067B&PID_2303&REV_0300";
    busy.usbId = "067b:2303";
    busy.coms = {3};
    busy.problem = OPEN_ERROR_BUSY;
    busy.why = "busy (held by another program)";
    DeviceFacts adapter;
    adapter.path = "COM12";
    adapter.number = 12;
    adapter.name = "USB Serial Port (COM12)";
    adapter.maker = "FTDI";
    adapter.hardwareId = "FTDIBUS\\COMPORT&VID_0403&PID_6001";
    adapter.usbId = "0403:6001";
    adapter.serial = "A12345";
    adapter.driver = "FTSER2K";
    adapter.target = "\\Device\\VCP0";
    facts.devices = {builtIn, busy, adapter};
    return facts;
}

TEST(CliPortsWindows, ShowsWhatDeviceManagerShowsAndHowToReachAPortAboveTheMenu) {
    PortsFacts facts = WindowsFacts();
    Capture words;
    PrintPortsText(facts, DeviceTree(), words.file);
    std::string text = words.Text();
    EXPECT_NE(text.find("COM1    ready  Communications Port (COM1), (Standard port types), driver Serial, ACPI\\PNP0501, "
                        "\\Device\\Serial0, is COM1\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("COM3    busy   Prolific USB-to-Serial Comm Port (COM3), Prolific, USB 067b:2303, is COM3\n"
                        "               busy (held by another program)\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("COM12   ready  USB Serial Port (COM12), FTDI, serial A12345, driver FTSER2K, USB 0403:6001, "
                        "\\Device\\VCP0\n"),
              std::string::npos)
        << text;
    // Only COM12 gets the advice: the menu's range, where to renumber, the numbers
    // no port has, and that the command line reaches it as it is.
    size_t advice = text.find("\\Device\\VCP0\n               the console's menu reaches COM1..COM7, not COM12; "
                              "zantrox-cli reaches it as --port COM12\n"
                              "               for the menu, renumber it in Device Manager > ");
    ASSERT_NE(advice, std::string::npos) << text;
    EXPECT_EQ(text.find("the console's menu", text.find("the console's menu") + 1), std::string::npos) << text;
    EXPECT_NE(text.find("Port Settings > Advanced > COM Port Number (free now: COM2, COM4, COM5, COM6, COM7)\n", advice),
              std::string::npos)
        << text;

    Capture out;
    PrintPortsJson(facts, out.file);
    std::vector<json> lines;
    text = out.Text();
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        lines.push_back(json::parse(text.substr(at, end - at)));
    }
    ASSERT_EQ(lines.size(), 3u);
    const json& com1 = lines[0];
    const json& com3 = lines[1];
    const json& com12 = lines[2];
    EXPECT_EQ(com1["name"], "Communications Port (COM1)");
    EXPECT_EQ(com1["hardware_id"], "ACPI\\PNP0501");
    EXPECT_TRUE(com1["advice"].is_null());
    EXPECT_EQ(com3["why"], "busy (held by another program)");
    EXPECT_EQ(com12["number"], 12);
    EXPECT_EQ(com12["usb_id"], "0403:6001");
    EXPECT_EQ(com12["serial"], "A12345");
    EXPECT_EQ(com12["com"], json::array());
    EXPECT_NE(com12["advice"].get<std::string>().find("COM Port Number"), std::string::npos);

    // With COM1..COM7 all taken there is no free number to name.
    for (int k = 4; k <= 8; ++k) {
        DeviceFacts more;
        more.path = "COM" + std::to_string(k == 8 ? 2 : k);
        more.number = k == 8 ? 2 : k;
        facts.devices.push_back(more);
    }
    std::string full = MenuAdvice(facts.devices[2], facts);
    EXPECT_NE(full.find("COM1..COM7 are all taken"), std::string::npos) << full;
    EXPECT_EQ(full.find("free now"), std::string::npos) << full;
}

// A Linux device has no system COM number: no advice, and null where Windows gives one.
TEST_F(CliPorts, LinuxDevicesHaveNoWindowsFacts) {
    Capture out, err;
    ASSERT_EQ(RunPorts(tree_, true, out.file, err.file), EXIT_ALL_OK);
    std::string text = out.Text();
    json usb = json::parse(text.substr(text.rfind('\n', text.size() - 2) + 1));
    EXPECT_EQ(usb["device"], Dev("ttyUSB0"));
    for (const char* key : {"number", "name", "hardware_id", "advice"}) {
        EXPECT_TRUE(usb.contains(key) && usb[key].is_null()) << key << ": " << usb;
    }
}

TEST(CliPortsWindows, ReadsTheUsbIdAndSerialNumberFromTheSystemsIds) {
    EXPECT_EQ(UsbIdFromHardwareId("USB\\VID_0403&PID_6001&REV_0600"), "0403:6001");
    EXPECT_EQ(UsbIdFromHardwareId("FTDIBUS\\COMPORT&VID_0403&PID_6001"), "0403:6001");
    EXPECT_EQ(UsbIdFromHardwareId("usb\\vid_067b&pid_2303"), "067b:2303");
    EXPECT_EQ(UsbIdFromHardwareId("FTDIBUS\\VID_0403+PID_6015+DO01ABCDA\\0000"), "0403:6015");
    EXPECT_EQ(UsbIdFromHardwareId("ACPI\\PNP0501"), "");
    EXPECT_EQ(UsbIdFromHardwareId("USB\\VID_0403"), "");
    EXPECT_EQ(UsbIdFromHardwareId("USB\\VID_04031&PID_6001"), "");
    EXPECT_EQ(UsbIdFromHardwareId("USB\\XVID_0403&PID_6001"), "");
    EXPECT_EQ(UsbIdFromHardwareId(""), "");

    EXPECT_EQ(SerialFromInstanceId("USB\\VID_0403&PID_6001\\A12345"), "A12345");
    EXPECT_EQ(SerialFromInstanceId("USB\\VID_2341&PID_0043&MI_00\\6&2E7F1C3&0&0000"), "");  // made up by Windows
    EXPECT_EQ(SerialFromInstanceId("FTDIBUS\\VID_0403+PID_6001+A12345A\\0000"), "");    // the bus driver's number
    EXPECT_EQ(SerialFromInstanceId("ACPI\\PNP0501\\1"), "");
    EXPECT_EQ(SerialFromInstanceId("USB\\VID_0403&PID_6001"), "");
    EXPECT_EQ(SerialFromInstanceId("USB\\VID_0403&PID_6001\\"), "");

    // A port whose own id gives no serial number takes its USB device's, never a hub's.
    EXPECT_EQ(UsbSerial("FTDIBUS\\VID_0403+PID_6001+A12345A\\0000", "USB\\VID_0403&PID_6001\\A12345"), "A12345");
    EXPECT_EQ(UsbSerial("USB\\VID_2341&PID_0043&MI_00\\6&2E7F1C3&0&0000", "USB\\VID_2341&PID_0043\\7543"), "7543");
    EXPECT_EQ(UsbSerial("USB\\VID_067B&PID_2303\\5&1A2B3C&0&2", "USB\\VID_05E3&PID_0610\\HUB0001"), "");
    EXPECT_EQ(UsbSerial("ACPI\\PNP0501\\1", "ACPI\\PNP0A03\\0"), "");
}

TEST_F(CliPorts, MapLinksTheStableNameAndReplacesOnlyLinks) {
    // ttyUSB0 and /dev/ttyUSB0 both name the adapter, which has a by-id name.
    ASSERT_EQ(Map(3, "ttyUSB0", false), EXIT_ALL_OK) << err_->Text();
    EXPECT_EQ(fs::read_symlink(Com(3)), Dev(std::string("serial/by-id/") + kById));
    EXPECT_NE(out_->Text().find("stable name"), std::string::npos);
    ASSERT_EQ(Map(4, "/dev/ttyUSB0", false), EXIT_ALL_OK) << err_->Text();
    EXPECT_EQ(fs::read_symlink(Com(4)), Dev(std::string("serial/by-id/") + kById));

    // An existing link is replaced, and the old target named.
    ASSERT_EQ(Map(2, "ttyS0", false), EXIT_ALL_OK) << err_->Text();
    EXPECT_EQ(fs::read_symlink(Com(2)), Dev("ttyS0"));
    EXPECT_NE(out_->Text().find(Dev("ttyUSB1")), std::string::npos) << out_->Text();

    // A device that is not there: refused, or linked anyway with --force.
    EXPECT_EQ(Map(6, "ttyUSB7"), EXIT_USAGE);
    EXPECT_FALSE(fs::is_symlink(Com(6)));
    EXPECT_EQ(Map(6, "ttyUSB7", true), EXIT_ALL_OK);
    EXPECT_EQ(fs::read_symlink(Com(6)), Dev("ttyUSB7"));

    EXPECT_EQ(Map(0, "ttyS0", false), EXIT_USAGE);
    EXPECT_EQ(Map(10, "ttyS0", false), EXIT_USAGE);
}

TEST_F(CliPorts, MapTouchesNothingButItsOwnMappingUnlessToldTo) {
    // A file in the way is kept: --force (a missing device) does not replace it,
    // --replace does.
    Write(Com(5), "notes");
    EXPECT_EQ(Map(5, "ttyS0"), EXIT_USAGE);
    EXPECT_NE(err_->Text().find("--replace"), std::string::npos) << err_->Text();
    EXPECT_EQ(Map(5, "ttyUSB7", true), EXIT_USAGE);
    EXPECT_FALSE(fs::is_symlink(Com(5)));
    ASSERT_EQ(Map(5, "ttyS0", false, true), EXIT_ALL_OK) << err_->Text();
    EXPECT_EQ(fs::read_symlink(Com(5)), Dev("ttyS0"));

    // comK.new is someone else's (a file, a link): left as it was, and the
    // temporary name map used is gone afterwards.
    Write(Com(6).string() + ".new", "keep me");
    Link(Com(7).string() + ".new", "/elsewhere");
    ASSERT_EQ(Map(6, "ttyS0"), EXIT_ALL_OK) << err_->Text();
    ASSERT_EQ(Map(7, "ttyS0"), EXIT_ALL_OK) << err_->Text();
    EXPECT_EQ(fs::read_symlink(Com(6)), Dev("ttyS0"));
    EXPECT_EQ(fs::file_size(Com(6).string() + ".new"), 8u);
    EXPECT_EQ(fs::read_symlink(Com(7).string() + ".new"), "/elsewhere");
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(Com(1).parent_path())) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"com1", "com2", "com5", "com6", "com6.new", "com7", "com7.new"}));

    // A DEVICE that is a regular file is mapped with a word that it is no serial device.
    Write(root_ / "notes.txt", "");
    ASSERT_EQ(Map(8, (root_ / "notes.txt").string()), EXIT_ALL_OK);
    EXPECT_NE(err_->Text().find("is a regular file, not a serial device"), std::string::npos) << err_->Text();
}

TEST_F(CliPorts, MapMakesTheFolder) {
    fs::remove_all(root_ / "home/.config");
    ASSERT_EQ(Map(1, "ttyS0", false), EXIT_ALL_OK) << err_->Text();
    EXPECT_EQ(fs::read_symlink(Com(1)), Dev("ttyS0"));
}

TEST_F(CliPorts, UnmapRemovesOnlyLinks) {
    ASSERT_EQ(Unmap(2, false), EXIT_ALL_OK);  // the dangling one
    EXPECT_FALSE(fs::is_symlink(Com(2)));
    EXPECT_NE(out_->Text().find(Dev("ttyS1")), std::string::npos) << out_->Text();

    EXPECT_EQ(Unmap(7, false), EXIT_ALL_OK);  // nothing there
    EXPECT_NE(out_->Text().find("no link"), std::string::npos);

    fs::create_directories(Com(8));
    EXPECT_EQ(Unmap(8, false), EXIT_USAGE);
    EXPECT_TRUE(fs::is_directory(Com(8)));
    EXPECT_EQ(Unmap(8, true), EXIT_ALL_OK);
    EXPECT_FALSE(fs::exists(Com(8)));
}

// A device server as COM3: the link's text is the URL; ports asks whether it
// takes a connection now; a malformed URL makes nothing.
TEST_F(CliPorts, MapsADeviceServerAndPortsSaysWhetherItAnswers) {
    int port = 0;
    int listener = testsupport::ListenOnLoopback(4, &port);
    ASSERT_GE(listener, 0);
    std::string url = "rfc2217://127.0.0.1:" + std::to_string(port);

    EXPECT_EQ(Map(3, "rfc2217://127.0.0.1", false), EXIT_USAGE);
    EXPECT_NE(err_->Text().find("no TCP port"), std::string::npos) << err_->Text();
    EXPECT_FALSE(fs::is_symlink(Com(3)));

    ASSERT_EQ(Map(3, url, false), EXIT_ALL_OK) << err_->Text();
    EXPECT_EQ(fs::read_symlink(Com(3)).string(), url);
    {
        Capture out, err;
        ASSERT_EQ(RunPorts(tree_, false, out.file, err.file), EXIT_ALL_OK);
        EXPECT_NE(out.Text().find("COM3  answers  ~/.config/zantrox/com3 -> " + url), std::string::npos) << out.Text();
    }
    close(listener);
    {
        Capture out, err;
        ASSERT_EQ(RunPorts(tree_, true, out.file, err.file), EXIT_ALL_OK);
        EXPECT_NE(out.Text().find("\"why\":\"connection refused\",\"network\":true"), std::string::npos) << out.Text();
    }
    ASSERT_EQ(Unmap(3, false), EXIT_ALL_OK);
    EXPECT_NE(out_->Text().find("-> " + url), std::string::npos) << out_->Text();
    EXPECT_FALSE(fs::is_symlink(Com(3)));
}

TEST_F(CliPorts, ExplainsWhyADeviceWouldNotOpen) {
    std::string unplugged = ExplainOpenFailure(OPEN_ERROR_NO_DEVICE, Com(2).string(), tree_);
    EXPECT_EQ(unplugged.rfind("no such device: ", 0), 0u) << unplugged;
    EXPECT_NE(unplugged.find("points at " + Dev("ttyUSB1")), std::string::npos) << unplugged;
    EXPECT_NE(unplugged.find("zantrox-cli ports"), std::string::npos) << unplugged;

    std::string noUart = ExplainOpenFailure(OPEN_ERROR_NO_DEVICE, Dev("ttyS1"), tree_);
    EXPECT_NE(noUart.find("no UART"), std::string::npos) << noUart;

    EXPECT_NE(ExplainOpenFailure(OPEN_ERROR_NOT_SERIAL, Dev("ttyUSB0"), tree_).find("not a serial device (it is a regular file)"),
              std::string::npos);
    EXPECT_NE(ExplainOpenFailure(OPEN_ERROR_NOT_SERIAL, Dev("serial"), tree_).find("a folder"), std::string::npos);
    EXPECT_NE(ExplainOpenFailure(OPEN_ERROR_NOT_SERIAL, "/dev/null", tree_).find("/dev/null"), std::string::npos);

    // Busy: the program whose open descriptor leads to the device, through the link.
    std::string busy = ExplainOpenFailure(OPEN_ERROR_BUSY, Com(1).string(), tree_);
    EXPECT_NE(busy.find("busy (held by another program)"), std::string::npos) << busy;
    Write(root_ / "proc/4242/comm", "minicom");
    Link(root_ / "proc/4242/fd/0", "/dev/pts/9");
    Link(root_ / "proc/4242/fd/3", fs::canonical(Dev("ttyUSB0")).string());
    busy = ExplainOpenFailure(OPEN_ERROR_BUSY, Com(1).string(), tree_);
    EXPECT_NE(busy.find("busy (held by minicom, pid 4242)"), std::string::npos) << busy;

    std::string denied = ExplainOpenFailure(OPEN_ERROR_PERMISSION, Dev("ttyUSB0"), tree_);
    EXPECT_EQ(denied.rfind("permission denied: ", 0), 0u) << denied;
}

TEST_F(CliPorts, PermissionAdviceNamesTheGroupAndWhatToDo) {
    PermissionFacts facts;
    facts.mode = 0660;
    facts.owner = "root";
    facts.group = "dialout";
    std::string advice = PermissionAdvice(facts);
    EXPECT_NE(advice.find("group dialout"), std::string::npos) << advice;
    EXPECT_NE(advice.find("`sudo usermod -aG dialout $USER`, then log in again"), std::string::npos) << advice;

    facts.userListsGroup = true;  // added, but this login is older
    advice = PermissionAdvice(facts);
    EXPECT_EQ(advice.find("usermod"), std::string::npos) << advice;
    EXPECT_NE(advice.find("log in again"), std::string::npos) << advice;
    EXPECT_NE(advice.find("newgrp dialout"), std::string::npos) << advice;

    facts.mode = 0600;  // no group access at all: joining a group would not help
    facts.userListsGroup = false;
    advice = PermissionAdvice(facts);
    EXPECT_EQ(advice.find("usermod"), std::string::npos) << advice;
    EXPECT_NE(advice.find("only its owner root"), std::string::npos) << advice;
}

}  // namespace

TEST_F(CliPorts, UsbLatencyTimerIsShownAndWarnedAboveOneMillisecond) {
    const fs::path timer = root_ / "sys/bus/usb-serial/devices/ttyUSB0/latency_timer";
    Write(timer, "16\n");
    PortsFacts facts = GatherPorts(tree_);
    int usb = -1;
    int uart = -1;
    for (const DeviceFacts& device : facts.devices) {
        if (device.path == Dev("ttyUSB0")) usb = device.latencyTimerMs;
        if (device.path == Dev("ttyS0")) uart = device.latencyTimerMs;
    }
    EXPECT_EQ(usb, 16);
    EXPECT_EQ(uart, -1);  // no USB adapter, nothing to say

    // What the tap asks for each line: by COM number (COM1 is the adapter) or by name.
    std::string file;
    EXPECT_EQ(AdapterLatencyTimerMs(tree_, 1, "", file), 16);
    EXPECT_EQ(file, timer.string());
    EXPECT_EQ(AdapterLatencyTimerMs(tree_, 1, Dev("ttyS0"), file), -1);
    std::string warning = LatencyTimerWarning("host", 16, timer.string());
    EXPECT_NE(warning.find("16 ms"), std::string::npos);
    EXPECT_NE(warning.find("echo 1 | sudo tee " + timer.string()), std::string::npos);
    EXPECT_EQ(LatencyTimerWarning("host", 1, timer.string()), "");
    EXPECT_EQ(LatencyTimerWarning("host", -1, timer.string()), "");

    Write(timer, "junk");
    EXPECT_EQ(AdapterLatencyTimerMs(tree_, 1, "", file), -1);
}
