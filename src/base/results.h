// How functions of the program say how they went, written once. Each
// function's header comment says what it returns in these terms; one that
// departs from them says so there.
//
// - A question (is_post_request, path_allowed, plat_exists, buf_ok): 1 for
//   yes, 0 for no. Named so that "if (f(...))" reads as the question.
// - An operation that can fail (buf_init, buf_add, plat_file_id, parse_int,
//   plat_path_join, get_query_whole): 1 when it did what it says, 0 when it did
//   not, with what it leaves behind on failure in its header.
// - An operation that cannot fail, or whose failure is told elsewhere (in
//   the answer it writes, in a record's error text): void.
// - A count, a length or an index (quote_arg, build_cmdline,
//   plat_full_path): the value; a value that means "none" or "failed" (-1,
//   0, a length that does not fit) is named in the header.
// - More than two outcomes (plat_dir_open, plat_child_wait): 1 and 0 as
//   above, and each further outcome a named constant or a negative value
//   described in the header, never a bare error number.
// - The exit status of a child (run_argv, run_git): the status as the
//   program returned it (128 + signal for a signal), -1 when it did not
//   start; how the run ended (a time-out, too much output) is told beside it
//   (RunEnd), never folded into the status.
// - A program's own exit status (front_main): 0 when it served the request.
//
// No function returns 0 for success unless it returns a value, such as a
// count, where 0 is one of the values. The few that still do (they start
// child processes: plat_child_start, spawn_child) say so in their headers.
#pragma once
