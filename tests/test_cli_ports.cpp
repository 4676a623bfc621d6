// The port listing, from a made-up sysfs tree and from this machine.
#include "test_cli.h"

#include "ports/ports.h"

#include <cstdlib>
#include <regex>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

using namespace cli;

namespace {

// A made-up sysfs and /dev: a USB adapter with a stable name, a modem without a serial number, two on-board
// ports, one more as Linux 6.x shows it (below the serial core's port and controller devices), a port the
// kernel reserved without a UART, and a console with no device.
void makeTree(const fx::TempDir& dir) {
    auto mkdirs = [](const std::string& path) {
        ASSERT_EQ(std::system(("mkdir -p '" + path + "'").c_str()), 0);
    };
    auto link = [](const std::string& target, const std::string& at) {
        ASSERT_EQ(symlink(target.c_str(), at.c_str()), 0);
    };
    const std::string sys = dir.file("sys"), dev = dir.file("dev");
    const std::string usb = sys + "/devices/pci0000:00/usb1/1-1", acm = sys + "/devices/pci0000:00/usb1/1-2";
    mkdirs(usb + "/1-1:1.0/ttyUSB0/tty/ttyUSB0");
    mkdirs(acm + "/1-2:1.0/tty/ttyACM0");
    mkdirs(sys + "/devices/pnp0/00:01/tty/ttyS0");
    mkdirs(sys + "/devices/pnp0/00:02/tty/ttyS10");
    mkdirs(sys + "/devices/platform/serial8250/tty/ttyS1");
    const std::string uart = sys + "/devices/platform/serial8250", ctrl = uart + "/serial8250:0";
    mkdirs(ctrl + "/serial8250:0.2/tty/ttyS2");
    mkdirs(sys + "/bus/serial-base/drivers/port");
    mkdirs(sys + "/bus/serial-base/drivers/ctrl");
    mkdirs(sys + "/bus/platform/drivers/serial8250");
    mkdirs(sys + "/devices/virtual/tty/tty0");
    mkdirs(sys + "/bus/usb-serial/drivers/ftdi_sio");
    mkdirs(sys + "/bus/usb/drivers/cdc_acm");
    mkdirs(sys + "/bus/pnp/drivers/serial");
    mkdirs(sys + "/class/tty");
    mkdirs(dev + "/serial/by-id");
    for (const auto& [file, text] : std::vector<std::pair<std::string, std::string>>{
             {usb + "/idVendor", "0403\n"},
             {usb + "/idProduct", "6001\n"},
             {usb + "/manufacturer", "FTDI\n"},
             {usb + "/product", "FT232R USB UART\n"},
             {usb + "/serial", "A12345\n"},
             {acm + "/idVendor", "2341\n"},
             {acm + "/idProduct", "0043\n"},
             {sys + "/devices/pnp0/00:01/tty/ttyS0/type", "4\n"},
             {sys + "/devices/pnp0/00:02/tty/ttyS10/type", "4\n"},
             {sys + "/devices/platform/serial8250/tty/ttyS1/type", "0\n"},
             {ctrl + "/serial8250:0.2/tty/ttyS2/type", "4\n"}})
        fx::writeFile(file, text);
    link(sys + "/bus/usb-serial/drivers/ftdi_sio", usb + "/1-1:1.0/ttyUSB0/driver");
    link("../..", usb + "/1-1:1.0/ttyUSB0/tty/ttyUSB0/device");
    link(sys + "/bus/usb/drivers/cdc_acm", acm + "/1-2:1.0/driver");
    link("../..", acm + "/1-2:1.0/tty/ttyACM0/device");
    for (const char* n : {"00:01/tty/ttyS0", "00:02/tty/ttyS10"}) {
        link(sys + "/bus/pnp/drivers/serial", sys + "/devices/pnp0/" + std::string(n, 5) + "/driver");
        link("../..", sys + "/devices/pnp0/" + n + "/device");
    }
    link("../..", sys + "/devices/platform/serial8250/tty/ttyS1/device");
    link(sys + "/bus/platform/drivers/serial8250", uart + "/driver");
    for (const char* kind : {"ctrl", "port"}) {
        const std::string at = std::string(kind) == "ctrl" ? ctrl : ctrl + "/serial8250:0.2";
        link(sys + "/bus/serial-base", at + "/subsystem");
        link(sys + "/bus/serial-base/drivers/" + kind, at + "/driver");
    }
    link("../..", ctrl + "/serial8250:0.2/tty/ttyS2/device");
    link("../../devices/platform/serial8250/serial8250:0/serial8250:0.2/tty/ttyS2", sys + "/class/tty/ttyS2");
    link("../../devices/pci0000:00/usb1/1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0", sys + "/class/tty/ttyUSB0");
    link("../../devices/pci0000:00/usb1/1-2/1-2:1.0/tty/ttyACM0", sys + "/class/tty/ttyACM0");
    link("../../devices/pnp0/00:01/tty/ttyS0", sys + "/class/tty/ttyS0");
    link("../../devices/pnp0/00:02/tty/ttyS10", sys + "/class/tty/ttyS10");
    link("../../devices/platform/serial8250/tty/ttyS1", sys + "/class/tty/ttyS1");
    link("../../devices/virtual/tty/tty0", sys + "/class/tty/tty0");
    link("../../ttyUSB0", dev + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A12345-if00-port0");
}

} // namespace

TEST(ListPorts, ReadsAMadeUpSysfsTree) {
    fx::TempDir dir;
    makeTree(dir);
    const std::string dev = dir.file("dev");
    Downloader d;
    d.console.sink = fx::captureSink;
    fx::captured.clear();
    printPorts({dir.file("sys"), dev}, d.console);
    EXPECT_EQ(fx::captured,
              dev + "/ttyACM0  USB 2341:0043, driver cdc_acm\n" + dev + "/ttyS0  driver serial\n" + dev +
                  "/ttyS2  driver serial8250\n" + dev + "/ttyS10  driver serial\n" + dev +
                  "/ttyUSB0  USB 0403:6001 (FTDI FT232R USB UART), serial A12345, driver ftdi_sio, " + dev +
                  "/serial/by-id/usb-FTDI_FT232R_USB_UART_A12345-if00-port0\n");

    fx::TempDir empty;
    fx::captured.clear();
    printPorts({empty.file("sys"), empty.file("dev")}, d.console);
    EXPECT_EQ(fx::captured, "No serial ports found.\n");

    // This machine's own ports, by the names -c takes, at every verbosity and without a banner.
    auto r = vq2dl({"-v", "-1", "--list-ports"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(
        std::regex_match(r.out, std::regex("No serial ports found\\.\n|(/dev/[^ \n]+(  [^\n]*)?\n)+")))
        << r.out;
}
