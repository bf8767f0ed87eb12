# PowerShell completion for quarlo.exe: the commands, their flags, the
# repositories of the listing for show and fetch, folders for status's roots.
# Load it from your profile:  . "$HOME\quarlo\quarlo.ps1"  (where you unpacked it)

Register-ArgumentCompleter -Native -CommandName quarlo, quarlo.exe -ScriptBlock {
    param($wordToComplete, $commandAst, $cursorPosition)
    $words = @($commandAst.CommandElements | ForEach-Object { $_.ToString() })
    # The words before the one being completed (the program's name first).
    $before = if ($wordToComplete) { $words.Count - 2 } else { $words.Count - 1 }
    $quote = { param($s) if ($s -match '[\s''"`$&(){};,|@]') { "'" + ($s -replace "'", "''") + "'" } else { $s } }
    if ($before -le 0) {
        $candidates = 'status', 'show', 'fetch', 'help', '--help', '--version', '--meta'
    } else {
        $command = $words[1]
        if ($wordToComplete -like '-*') {
            $candidates = switch ($command) {
                'status' { '--json', '--paths', '--only-here', '--exit-code' }
                'show' { '--json' }
                'fetch' { '--all' }
            }
        } elseif ($command -eq 'status') {
            $candidates = Get-ChildItem -Directory -Path "$wordToComplete*" -ErrorAction SilentlyContinue |
                ForEach-Object { $_.FullName }
        } elseif ($command -eq 'show' -or $command -eq 'fetch') {
            # The paths alone, found without running git.
            $candidates = & quarlo.exe status --paths 2>$null |
                Where-Object { $_ -like "$wordToComplete*" }
        }
    }
    $candidates | Where-Object { $_ -like "$wordToComplete*" } | ForEach-Object {
        $text = & $quote $_
        [System.Management.Automation.CompletionResult]::new($text, $_, 'ParameterValue', $_)
    }
}
