// One client connection of guichet-web: reads each request's headers (with deadlines,
// keep-alive and the header limit), hands the request to the route of its path (route.h)
// and writes the route's answer, a text or a file, then one log line a request.
#pragma once

#include <boost/asio/ip/tcp.hpp>

namespace guichet::web {

class Server;

// Takes over an accepted socket; the connection lives until the client or a deadline
// ends it.
void StartConnection(boost::asio::ip::tcp::socket socket, Server& server);

}  // namespace guichet::web
