# The manual page's examples as --help shows them. help2man sets each
# example's commands as filled text, so a long command is justified with
# doubled spaces, and the continuation of one (the line after a trailing
# backslash) becomes a paragraph of its own. Here the commands are set
# unfilled, each continuation with its command, indented as in --help.
#   awk -f manexamples.awk pelkoupdate.1 > fixed.1
commands && /^\.(PP|SH)/ { print ".fi"; commands = 0 }
/^\.SH / { examples = $2 == "EXAMPLES" }
examples && /^\.IP$/ { if (!commands) { print; print ".nf" }; commands = 1; next }
commands && /^\.br$/ { next }
commands && /^\.HP$/ { continuation = 1; next }
continuation { print "\\f(CW    " $0 "\\fR"; continuation = 0; next }
{ print }
END { if (commands) print ".fi" }
