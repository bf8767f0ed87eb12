# fish completion for quarlo: the commands, their flags, the repositories of
# the listing for show and fetch, folders for status's roots.

# The repositories' paths alone, found without running git.
function __quarlo_repositories
    quarlo status --paths 2>/dev/null
end

set -l commands status show fetch help
complete -c quarlo -f
complete -c quarlo -n "not __fish_seen_subcommand_from $commands" -a status -d 'one line per repository below the roots'
complete -c quarlo -n "not __fish_seen_subcommand_from $commands" -a show -d 'one repository in depth'
complete -c quarlo -n "not __fish_seen_subcommand_from $commands" -a fetch -d 'git fetch --prune in the repositories'
complete -c quarlo -n "not __fish_seen_subcommand_from $commands" -a help -d 'a short help text'
complete -c quarlo -n "not __fish_seen_subcommand_from $commands" -l help -s h -d 'a short help text'
complete -c quarlo -n "not __fish_seen_subcommand_from $commands" -l version -d 'the version'
complete -c quarlo -n "not __fish_seen_subcommand_from $commands" -l meta -d 'the plugin name for the bot'

complete -c quarlo -n "__fish_seen_subcommand_from status" -l json -d 'the listing as JSON'
complete -c quarlo -n "__fish_seen_subcommand_from status" -l paths -d 'only the repositories\' paths'
complete -c quarlo -n "__fish_seen_subcommand_from status" -l only-here -d 'only repositories with work only here'
complete -c quarlo -n "__fish_seen_subcommand_from status" -l exit-code -d 'exit 1 when a repository needs you'
complete -c quarlo -n "__fish_seen_subcommand_from status" -a '(__fish_complete_directories)'

complete -c quarlo -n "__fish_seen_subcommand_from show" -l json -d 'the detail as JSON'
complete -c quarlo -n "__fish_seen_subcommand_from show" -a '(__quarlo_repositories)'

complete -c quarlo -n "__fish_seen_subcommand_from fetch" -l all -d 'every repository with a remote'
complete -c quarlo -n "__fish_seen_subcommand_from fetch" -a '(__quarlo_repositories)'
