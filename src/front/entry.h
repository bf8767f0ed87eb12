// The program's entry: meta line, node password, routing.
#pragma once

// 1 when REQUEST_METHOD is exactly "POST".
int is_post_request();

// 1 when the request carries the node password (or none is configured).
int password_ok();

// Serves one request from the process environment; returns the exit status.
int front_main(int argc, char **argv);
