# PICC_Xch_APDU cost against APDU length. Called by bench/run.sh with
# data (length, ns, instructions), virtual (length, ns; may be empty) and output.
set terminal pngcairo size 900,540 noenhanced font ",11"
set output output
set title "PICC_Xch_APDU: library cost per APDU against APDU length"
set xlabel "command APDU length (bytes)"
set ylabel "time per APDU (ns)"
set y2label "library instructions per APDU"
set ytics nomirror
set y2tics
set xrange [0:1050]
set yrange [0:*]
set y2range [0:*]
set key top left
set grid
if (virtual ne "") {
  plot data using 1:2 with linespoints lw 2 pt 7 title "time, zero-latency reader", \
       data using 1:3 axes x1y2 with linespoints lw 2 pt 5 dt 2 title "instructions, zero-latency reader (right)", \
       virtual using 1:2 with linespoints lw 2 pt 9 title "time, virtual reader and card"
} else {
  plot data using 1:2 with linespoints lw 2 pt 7 title "time, zero-latency reader", \
       data using 1:3 axes x1y2 with linespoints lw 2 pt 5 dt 2 title "instructions, zero-latency reader (right)"
}
