# fish completion for quarlo-host: its flags.
complete -c quarlo-host -f
complete -c quarlo-host -l bind -x -d 'address to listen on'
complete -c quarlo-host -l port -x -d 'port to listen on'
complete -c quarlo-host -l program -r -F -d 'the CGI program to run'
complete -c quarlo-host -l timeout -x -d 'seconds a request may run'
complete -c quarlo-host -l max-runs -x -d 'program runs at once'
complete -c quarlo-host -l queue -x -d 'requests that may wait for a run'
complete -c quarlo-host -l help -s h -d 'print the usage'
