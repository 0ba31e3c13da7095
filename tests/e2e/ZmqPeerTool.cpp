// A ZeroMQ peer for tests that must run as another user or misbehave on purpose; plain libzmq
// and the C++ library only, so it runs from a copy in any folder and under any user.
//   send   <port> <name> <wait ms> <body>...  sends each body (length and body frames), then
//                                             counts what arrives within the wait
//   hijack <port> <name> <run ms>             reconnects under <name> again and again, counting
//                                             whatever arrives
//   flood  <port> <name> <count> <bytes>      logs in, sends <count> transfers of <bytes> to
//                                             itself without reading, prints "sent", then waits
//                                             for its standard input to close
// Prints "received <n>" at the end.
#include <zmq.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

void* Connect(void* _pContext, const char* _pPort, const char* _pName, int _nReceiveHwm)
{
    void* socket = zmq_socket(_pContext, ZMQ_DEALER);
    zmq_setsockopt(socket, ZMQ_ROUTING_ID, _pName, std::strlen(_pName));
    zmq_setsockopt(socket, ZMQ_RCVHWM, &_nReceiveHwm, sizeof _nReceiveHwm);
    const int linger = 0;
    zmq_setsockopt(socket, ZMQ_LINGER, &linger, sizeof linger);
    const std::string endpoint = std::string("tcp://127.0.0.1:") + _pPort;
    zmq_connect(socket, endpoint.c_str());
    return socket;
}

void SendBody(void* _pSocket, const std::string& _strBody)
{
    const std::string length = std::to_string(_strBody.size());
    zmq_send(_pSocket, length.data(), length.size(), ZMQ_SNDMORE);
    zmq_send(_pSocket, _strBody.data(), _strBody.size(), 0);
}

// Counts whole messages that arrive until the deadline.
long CountUntil(void* _pSocket, Clock::time_point _deadline)
{
    long count = 0;
    zmq_pollitem_t item{_pSocket, 0, ZMQ_POLLIN, 0};
    while (Clock::now() < _deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(_deadline - Clock::now());
        if (zmq_poll(&item, 1, static_cast<long>(left.count()) + 1) <= 0)
            continue;
        zmq_msg_t frame;
        zmq_msg_init(&frame);
        while (zmq_msg_recv(&frame, _pSocket, ZMQ_DONTWAIT) >= 0 && zmq_msg_more(&frame)) {
        }
        zmq_msg_close(&frame);
        ++count;
    }
    return count;
}

std::string Envelope(const std::string& _strType, const std::string& _strCommand, const std::string& _strFrom,
                     const std::string& _strTo, const std::string& _strData)
{
    return "{\"type\":\"" + _strType + "\",\"command\":\"" + _strCommand + "\",\"from\":\"" + _strFrom +
           "\",\"to\":[" + _strTo + "],\"guid\":\"{peer-tool}\",\"data\":\"" + _strData + "\"}";
}

long Send(void* _pContext, char** _argv, int _argc)
{
    void* socket = Connect(_pContext, _argv[2], _argv[3], 1000);
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::atol(_argv[4]));
    for (int i = 5; i < _argc; ++i)
        SendBody(socket, _argv[i]);
    const long count = CountUntil(socket, deadline);
    zmq_close(socket);
    return count;
}

long Hijack(void* _pContext, char** _argv)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::atol(_argv[4]));
    long count = 0;
    while (Clock::now() < deadline) {
        void* socket = Connect(_pContext, _argv[2], _argv[3], 1000);
        count += CountUntil(socket, Clock::now() + std::chrono::milliseconds(20));
        zmq_close(socket);
    }
    return count;
}

long Flood(void* _pContext, char** _argv)
{
    const std::string name = _argv[3];
    // Reads nothing and holds at most one message, so what piles up piles up in the service.
    void* socket = Connect(_pContext, _argv[2], _argv[3], 1);
    const int buffer = 4096;
    zmq_setsockopt(socket, ZMQ_RCVBUF, &buffer, sizeof buffer);
    SendBody(socket, Envelope("notify", "command_login", name, "", "{\\\"abilities\\\":[]}"));
    const std::string payload(static_cast<size_t>(std::atol(_argv[5])), 'x');
    const std::string body = Envelope("transfer", "flood", name, "\"" + name + "\"", payload);
    for (long i = std::atol(_argv[4]); i > 0; --i)
        SendBody(socket, body);
    std::printf("sent\n");
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    zmq_close(socket);
    return 0;
}

} // namespace

int main(int _argc, char** _argv)
{
    if (_argc < 5) {
        std::fprintf(stderr, "usage: %s send|hijack|flood <port> <name> ...\n", _argv[0]);
        return 2;
    }
    void* context = zmq_ctx_new();
    const std::string mode = _argv[1];
    long count = 0;
    if (mode == "send")
        count = Send(context, _argv, _argc);
    else if (mode == "hijack")
        count = Hijack(context, _argv);
    else if (mode == "flood" && _argc >= 6)
        count = Flood(context, _argv);
    else
        return 2;
    std::printf("received %ld\n", count);
    zmq_ctx_term(context);
    return 0;
}
