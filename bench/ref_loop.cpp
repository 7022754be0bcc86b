// Benchmark reference: the bare relay loop on Linux, nothing but accept, a file per job, and
// recv/write in chunks of the given size. With 1024 bytes it is the limit of the relay's framing;
// with a large buffer it is the machine's loopback-copy ceiling.
//   ref_loop PORT DIRECTORY CHUNK
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static char Buffer[1 << 20];

int main(int argc, char **argv) {
    if (argc != 4)
        return 2;
    int port = atoi(argv[1]);
    size_t chunk = (size_t)atoi(argv[3]);
    if (chunk == 0 || chunk > sizeof Buffer)
        return 2;
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons((unsigned short)port);
    if (bind(listener, (struct sockaddr *)&address, sizeof address) != 0 ||
        listen(listener, 2) != 0)
        return 1;
    for (unsigned long job = 0;; job++) {
        int connection = accept(listener, NULL, NULL);
        if (connection < 0)
            continue;
        char path[4096];
        snprintf(path, sizeof path, "%s/job-%lu.prn", argv[2], job % 16);
        int file = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ssize_t received;
        while ((received = recv(connection, Buffer, chunk, 0)) > 0) {
            if (write(file, Buffer, (size_t)received) != received)
                break;
        }
        close(file);
        close(connection);
    }
}
