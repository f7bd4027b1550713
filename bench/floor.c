/* The floor of the forwarder's design: one client at a time, blocking
 * sockets, one wait per turn, at most 1513 bytes per read, one send each.
 * Nothing else, so the benchmark can show what the design itself costs.
 *
 *   floor LOCAL_PORT REMOTE_PORT     (the remote end is 127.0.0.1)
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static struct sockaddr_in Address(unsigned short port, unsigned long addr)
{
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(addr);
    return a;
}

/* One read passed on with one send; 0 when the connection has to end. */
static int Pass(int from, int to, char* buf)
{
    ssize_t n = recv(from, buf, 1513, 0);
    if (n <= 0)
        return 0;
    send(to, buf, (size_t)n, MSG_NOSIGNAL);
    return 1;
}

int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: floor LOCAL_PORT REMOTE_PORT\n");
        return 2;
    }
    struct sockaddr_in local = Address((unsigned short)atoi(argv[1]), INADDR_ANY);
    struct sockaddr_in remote = Address((unsigned short)atoi(argv[2]), INADDR_LOOPBACK);
    int l = socket(AF_INET, SOCK_STREAM, 0);
    if (bind(l, (struct sockaddr*)&local, sizeof local) != 0 || listen(l, 5) != 0) {
        perror("floor: listen");
        return 1;
    }
    /* Runs until the harness ends it, and ends itself after 15 minutes in
     * any case; each pass of this loop is one client. */
    alarm(900);
    for (;;) {
        int c = accept(l, NULL, NULL);
        if (c < 0)
            return 1;
        int r = socket(AF_INET, SOCK_STREAM, 0);
        connect(r, (struct sockaddr*)&remote, sizeof remote);
        char buf[1513];
        struct pollfd fds[2] = {{c, POLLIN, 0}, {r, POLLIN, 0}};
        for (;;) {
            fds[0].revents = fds[1].revents = 0;
            if (poll(fds, 2, -1) < 0)
                return 1;
            if (fds[0].revents && !Pass(c, r, buf))
                break;
            if (fds[1].revents && !Pass(r, c, buf))
                break;
        }
        shutdown(c, SHUT_RDWR);
        shutdown(r, SHUT_RDWR);
        close(c);
        close(r);
    }
}
