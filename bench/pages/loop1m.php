<?php $i = 0; $total = 0; $label = "";
while ($i < 1000000) { $total = $total + $i * 2; $label = "item-" . $i; $i = $i + 1; }
echo "$total $label\n";
