<?php $sum = 0; for ($i = 0; $i < 100; $i++) { $sum = $sum + $i * 2; } echo "Sum $sum\n";
