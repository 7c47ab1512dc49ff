<?php $i = 0; $s = ""; $n = 0;
while ($i < 200000) {
    $t = $s . "-" . $i;
    $start = strlen($t) - 40; if ($start < 0) $start = 0;
    $s = substr($t, $start, 40);
    $p = strpos($s, "99");
    $n = $n + ($p === false ? 0 : $p + 1) + strlen($s);
    $i = $i + 1;
}
echo "$n $s\n";
