# PICC_Xch_APDU cost against APDU length. Called by bench/run.sh with
# data (length, ns, library instructions) of the zero-latency reader,
# virtual (length, ns, library instructions, all instructions; may be "")
# and output.
set terminal pngcairo size 960,560 noenhanced font ",11"
set output output
set title "PICC_Xch_APDU: cost per APDU against APDU length (118 APDU bytes per block)"
set xlabel "command APDU length (bytes)"
set ylabel "time per APDU (ns)"
set y2label "instructions per APDU"
set ytics nomirror
set y2tics
set xrange [0:1050]
set yrange [0:*]
set y2range [0:*]
set key top left box opaque
set grid
zero_time = "time, zero-latency reader"
zero_instr = "library instructions, zero-latency reader (right axis)"
if (virtual ne "") {
  plot data using 1:2 with linespoints lw 2 pt 7 title zero_time, \
       virtual using 1:2 with linespoints lw 2 pt 9 title "time, virtual reader and card", \
       data using 1:3 axes x1y2 with linespoints lw 2 pt 5 dt 2 title zero_instr, \
       virtual using 1:3 axes x1y2 with linespoints lw 2 pt 11 dt 3 \
         title "library instructions, virtual reader (right axis)"
} else {
  plot data using 1:2 with linespoints lw 2 pt 7 title zero_time, \
       data using 1:3 axes x1y2 with linespoints lw 2 pt 5 dt 2 title zero_instr
}
