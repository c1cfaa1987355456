// One query through the kernel's usbtmc driver with a time-out of our
// choosing (the driver waits 5 s by default, too long for the device
// profiles that never answer), for scripts/kernel-usb-check.
//
//   quorvel_usbtmc_query DEVICE TEXT [TIMEOUT_MS]
//
// Writes TEXT and a newline to DEVICE (/dev/usbtmc0), prints the reply with
// bytes outside printable ASCII as \xNN; exit status 1 with the error when
// either fails.
#include <fcntl.h>
#include <linux/usb/tmc.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::fprintf(stderr, "usage: %s DEVICE TEXT [TIMEOUT_MS]\n", argv[0]);
    return 2;
  }
  const int fd = open(argv[1], O_RDWR);
  if (fd < 0) {
    std::printf("error: open: %s\n", std::strerror(errno));
    return 1;
  }
  __u32 timeoutMs = argc == 4 ? static_cast<__u32>(std::strtoul(argv[3], nullptr, 10)) : 1000;
  ioctl(fd, USBTMC_IOCTL_SET_TIMEOUT, &timeoutMs);
  const std::string text = std::string(argv[2]) + "\n";
  if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    std::printf("error: write: %s\n", std::strerror(errno));
    return 1;
  }
  char reply[4096];
  const ssize_t got = read(fd, reply, sizeof reply);
  if (got < 0) {
    std::printf("error: read: %s\n", std::strerror(errno));
    return 1;
  }
  for (ssize_t i = 0; i < got; ++i) {
    const auto byte = static_cast<unsigned char>(reply[i]);
    if (byte >= 0x20 && byte < 0x7F) {
      std::putchar(byte);
    } else {
      std::printf("\\x%02X", static_cast<unsigned>(byte));
    }
  }
  close(fd);
  return 0;
}
