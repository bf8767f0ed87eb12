// The three JSON actions.
#pragma once

// Number of status queries the listing runs at once (QUARLO_JOBS).
int listing_jobs();

// action "repos": every repository below every root, with a summary.
void action_repos();
// action "repo": one allowlisted repository in depth.
void action_repo(const char *query);
// action "fetch" (POST): git fetch --prune in one allowlisted repository
// `path` (as the client gave it); writes the whole answer.
void action_fetch(const char *path);
