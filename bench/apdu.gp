# PICC_Xch_APDU cost against APDU length, two panels: time and instructions.
# Called by bench/run.sh with data (length, ns, library instructions) of the
# zero-latency reader, virtual (length, ns, library instructions, all
# instructions; may be "") and output.
set terminal pngcairo size 1100,480 noenhanced font ",10"
set output output
set multiplot layout 1,2 title "PICC_Xch_APDU: cost per APDU against command APDU length (up to 118 APDU bytes per block)"
set xlabel "command APDU length (bytes)"
set xrange [0:1050]
set yrange [0:*]
set key top left box opaque
set grid

set title "CPU time per APDU"
set ylabel "ns"
if (virtual ne "") {
  plot data using 1:2 with linespoints lw 2 pt 7 title "zero-latency reader (library alone)", \
       virtual using 1:2 with linespoints lw 2 pt 9 title "virtual reader and card"
} else {
  plot data using 1:2 with linespoints lw 2 pt 7 title "zero-latency reader (library alone)"
}

set title "instructions per APDU (callgrind)"
set ylabel "instructions"
if (virtual ne "") {
  plot data using 1:3 with linespoints lw 2 pt 7 title "library, zero-latency reader", \
       virtual using 1:3 with linespoints lw 2 pt 9 title "library, virtual reader", \
       virtual using 1:4 with linespoints lw 2 pt 5 dt 2 title "library + virtual reader and card"
} else {
  plot data using 1:3 with linespoints lw 2 pt 7 title "library, zero-latency reader"
}
unset multiplot
